#include "simulation.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "framework/quavpnp.h"
#include "quavmsg_table.h"
#include "sim/pnp.h"

namespace quavsim {

namespace {

constexpr const char16_t* kServicePath = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";
const std::string kCurrent = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\";

// Each fan output's stage and PWM as the driver's fan control publishes them.
struct FanControlValues {
    const char* stage;
    const char* pwm;
};
const std::array<FanControlValues, quavtools::kFanCount> kFanControl = {{
    {"FANCNTL_RU_CURRENT_STAGE", "FANCNTL_RU_CURRENT_PWM"},
    {"FANCNTL_RB_CURRENT_STAGE", "FANCNTL_RB_CURRENT_PWM"},
}};

} // namespace

std::string ReadTextFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Simulation::Simulation(const SimulationOptions& options)
    : machine_(options.machine), board_(machine_.bus(), options.board, options.power_on)
{
    if (!options.image.empty()) {
        if (sizeof(void*) != 4) {
            throw std::runtime_error(options.image +
                                     " is 32-bit x86 code: run it with the 32-bit build's quavsim "
                                     "(make build32, then build-32/tools/quavsim/quavsim)");
        }
        // Mapped before anything runs, so that a file that is no driver image stops the run at once.
        image_ = sim::DriverImage::Load(options.image);
        driver_name_ = options.image + " (loaded image)";
    }
    if (!options.config_reg.empty()) {
        machine_.registry().ImportReg(options.config_reg);
    }
    thread_.emplace("quavsim");
}

Simulation::~Simulation()
{
    if (running_) {
        Shutdown();
    }
    if (machine_.wmi().PendingRegInfo() > 0) {
        sim::Yield(); // WMI's registration thread runs while the machine is whole
    }
    thread_.reset();
}

NTSTATUS Simulation::Boot()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = image_ ? sim::LoadImageDriver(machine_.io(), *image_, "QUAV", kServicePath, &status)
                     : machine_.io().LoadDriver("QUAV", DriverEntry, kServicePath, &status, kQuavMessages);
    if (driver_ == nullptr) {
        return status;
    }
    running_ = true;
    pdo_ = machine_.pnp().AddDevice(driver_, &status);
    if (pdo_ == nullptr) {
        return status;
    }
    return machine_.pnp().Start(pdo_);
}

// Counted from what the platform sees, so that it holds for any build of the driver: the monitor thread
// waits out its interval on the semaphore a stop request releases, and polls when that wait times out.
// The driver's other timed waits (its delays on events, its locks on mutexes) are on other objects.
uint64_t Simulation::Polls()
{
    return machine_.scheduler().SystemThreadTimeouts(SemaphoreObject);
}

void Simulation::RunFor(sim::Ticks time, sim::Ticks sample_every)
{
    const sim::Ticks end = sim::Now() + time;
    if (sample_every <= 0) {
        sim::Sleep(time);
        return;
    }
    sim::Ticks next = (sim::Now() / sample_every) * sample_every + sample_every / 2;
    while (next <= sim::Now()) {
        next += sample_every;
    }
    while (next < end) {
        sim::Sleep(next - sim::Now());
        Sample();
        next += sample_every;
    }
    sim::Sleep(end - sim::Now());
}

void Simulation::Sample()
{
    sim::Registry& r = machine_.registry();
    TraceRow row;
    row.time = sim::Now();
    for (size_t i = 0; i < quavtools::kSensors.size(); i++) {
        const quavtools::SensorInfo& sensor = quavtools::kSensors[i];
        if (auto v = r.GetDword(kCurrent + sensor.CurrentKey(), sensor.current_value)) {
            row.readings[i] = static_cast<int32_t>(*v);
        }
    }
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        row.stage[fan] = r.GetDword(kCurrent + "FAN", kFanControl[fan].stage);
        row.pwm[fan] = r.GetDword(kCurrent + "FAN", kFanControl[fan].pwm);
    }
    row.events = machine_.eventlog().Count();
    trace_.push_back(row);
}

std::string Simulation::TraceCsv() const
{
    std::ostringstream out;
    out << "time_s";
    for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
        out << "," << sensor.name;
    }
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        const char* name = quavtools::kSensors[quavtools::FanSensor(static_cast<int>(fan))].name;
        out << "," << name << " stage," << name << " PWM";
    }
    out << ",events\n";
    auto cell = [&out](const auto& v) {
        out << ",";
        if (v) {
            out << *v;
        }
    };
    for (const TraceRow& row : trace_) {
        out << sim::FormatTicks(row.time).substr(0, sim::FormatTicks(row.time).size() - 2);
        for (const auto& v : row.readings) {
            cell(v);
        }
        for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
            cell(row.stage[fan]);
            cell(row.pwm[fan]);
        }
        out << "," << row.events << "\n";
    }
    return out.str();
}

NTSTATUS Simulation::Shutdown()
{
    NTSTATUS status = STATUS_SUCCESS;
    if (pdo_ != nullptr && !machine_.io().Devices(driver_).empty()) {
        status = machine_.pnp().Remove(pdo_);
    }
    if (driver_ != nullptr) {
        machine_.io().UnloadDriver(driver_);
        driver_ = nullptr;
    }
    running_ = false;
    return status;
}

std::string Simulation::Summary()
{
    sim::Machine& machine = machine_;
    std::map<sim::EventSeverity, int> by_severity;
    for (const sim::EventRecord& e : machine.eventlog().Records()) {
        by_severity[e.severity]++;
    }
    std::ostringstream out;
    out << "simulated time  " << sim::FormatTicks(machine.scheduler().Now()) << "\n";
    out << "polls           " << Polls() << "\n";
    out << "events          " << by_severity[sim::EventSeverity::Informational] << " informational, "
        << by_severity[sim::EventSeverity::Warning] << " warning, " << by_severity[sim::EventSeverity::Error]
        << " error\n";
    if (!trace_.empty()) {
        int changes = 0;
        for (size_t i = 1; i < trace_.size(); i++) {
            for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
                changes += trace_[i].stage[fan] != trace_[i - 1].stage[fan];
            }
        }
        out << "stage changes   " << changes << " (in " << trace_.size() << " samples)\n";
        for (size_t s = 0; s < quavtools::kSensors.size(); s++) {
            std::optional<int32_t> low;
            std::optional<int32_t> high;
            for (const TraceRow& row : trace_) {
                if (row.readings[s]) {
                    low = low ? std::min(*low, *row.readings[s]) : *row.readings[s];
                    high = high ? std::max(*high, *row.readings[s]) : *row.readings[s];
                }
            }
            if (low) {
                const std::string name = quavtools::kSensors[s].name;
                out << "  " << name << std::string(14 - name.size(), ' ') << *low << " .. " << *high << "\n";
            }
        }
    }
    out << "port accesses   " << machine.bus().Accesses() << "\n";
    // What a checked build's remove lock would have asserted on: information, never a failure.
    const sim::RemoveLockLimits limits = machine.io().RemoveLockLimitsSeen();
    out << "remove lock     " << limits.long_holds << " holds over MaxLockedMinutes, "
        << limits.over_watermark << " times over HighWatermark\n";
    return out.str();
}

} // namespace quavsim
