#include "simulation.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "framework/quavpnp.h"
#include "quavmsg_table.h"
#include "sim/pnp.h"
#include "sim/text.h"

namespace quavsim {

namespace {

constexpr const char16_t* kServicePath = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";
const std::string kCurrent = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\";
const std::string kCurrentFan = kCurrent + "FAN";

// Stages in a fan's table: a stage past them has no PWM value, and the driver publishes none for it.
constexpr uint32_t kStages = 10;

// Registry names compare with ASCII letters folded, as the registry itself compares them (every write of
// a poll passes here: no locale's tolower).
bool SameName(std::string_view a, std::string_view b)
{
    return a == b || sim::SameName(a, b);
}

// The unit of a sensor's column and extremes, short: "degC", "RPM", "mV".
const char* ShortUnit(const quavtools::SensorInfo& sensor)
{
    return sensor.Kind() == quavtools::SensorKind::Temperature ? "degC" : sensor.Unit();
}

} // namespace

bool Polled(sim::PnpState state)
{
    switch (state) {
        case sim::PnpState::Started:
        case sim::PnpState::StopPending:
        case sim::PnpState::Stopped:
        case sim::PnpState::RemovePending:
            return true;
        default:
            return false;
    }
}

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
        try {
            machine_.registry().ImportReg(options.config_reg);
        } catch (const sim::RegFileError& e) {
            if (options.config_origin.empty()) {
                throw;
            }
            throw sim::RegFileError(options.config_origin + ": " + e.what(), e.line());
        }
    }
    machine_.registry().ObserveKernelWrites(
        [this](std::string_view path, std::string_view name, uint32_t type, std::span<const uint8_t> data) {
            Observe(path, name, type, data);
        });
    thread_.emplace("quavsim");
}

Simulation::~Simulation()
{
    if (running_) {
        Shutdown();
    }
    machine_.registry().ObserveKernelWrites(nullptr);
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
    SampleEvery(sample_every);
    if (sample_every > 0) {
        for (sim::Ticks next = (sim::Now() / sample_every + 1) * sample_every; next < end;
             next += sample_every) {
            sim::Sleep(next - sim::Now());
            SampleIdle();
        }
    }
    sim::Sleep(end - sim::Now());
}

void Simulation::SampleEvery(sim::Ticks period)
{
    std::lock_guard lk(trace_mu_);
    if (period != sample_) {
        sample_ = std::max<sim::Ticks>(period, 0);
        next_due_ = sim::Now();
    }
}

void Simulation::SampleIdle()
{
    const sim::Ticks now = sim::Now();
    {
        std::lock_guard lk(trace_mu_);
        if (sample_ == 0 || now < next_due_ || Polled(DeviceState())) {
            return;
        }
        next_due_ = (now / sample_ + 1) * sample_;
    }
    Sample();
}

sim::PnpState Simulation::DeviceState()
{
    return pdo_ != nullptr ? machine_.pnp().State(pdo_) : sim::PnpState::Removed;
}

// Each write under the Current keys: a fan's stage counts its changes; the last fan's PWM (or, when its
// stage has no PWM value, its temperature) ends the poll's publishing, and a row is due then.
void Simulation::Observe(std::string_view path, std::string_view name, uint32_t type,
                         std::span<const uint8_t> data)
{
    if (type != REG_DWORD || data.size() != 4 || path.size() != kCurrentFan.size()) {
        return;
    }
    const uint32_t v = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                       static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    constexpr size_t kLast = quavtools::kFanCount - 1;
    bool published = false;
    {
        std::lock_guard lk(trace_mu_);
        if (path != fan_key_seen_) {
            if (!SameName(path, kCurrentFan)) {
                return;
            }
            fan_key_seen_ = path;
        }
        for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
            if (SameName(name, quavtools::kFanOutputs[fan].stage)) {
                stage_changes_ += stage_written_[fan] && *stage_written_[fan] != v;
                stage_written_[fan] = v;
            }
        }
        const bool last = SameName(name, quavtools::kFanOutputs[kLast].pwm) ||
                          (SameName(name, quavtools::kFanOutputs[kLast].temperature) &&
                           stage_written_[kLast] && *stage_written_[kLast] >= kStages);
        const sim::Ticks now = sim::Now();
        if (last && sample_ > 0 && now >= next_due_) {
            next_due_ = (now / sample_ + 1) * sample_;
            published = true;
        }
    }
    if (published) {
        Sample();
    }
}

void Simulation::Sample()
{
    sim::Registry& r = machine_.registry();
    TraceRow row;
    row.time = sim::Now();
    row.device = DeviceState();
    if (Polled(row.device)) {
        for (size_t i = 0; i < quavtools::kSensors.size(); i++) {
            const quavtools::SensorInfo& sensor = quavtools::kSensors[i];
            if (auto v = r.GetDword(kCurrent + sensor.CurrentKey(), sensor.current_value)) {
                row.readings[i] = static_cast<int32_t>(*v);
            }
        }
        for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
            row.stage[fan] = r.GetDword(kCurrent + "FAN", quavtools::kFanOutputs[fan].stage);
            row.pwm[fan] = r.GetDword(kCurrent + "FAN", quavtools::kFanOutputs[fan].pwm);
        }
    }
    for (size_t fan = 0; fan < quavtools::kFanCount && board_.superio() != nullptr; fan++) {
        row.chip_pwm[fan] = board_.superio()->Register(quavtools::kFanOutputs[fan].pwm_register);
    }
    row.events = machine_.eventlog().Count();
    if (annotate_) {
        annotate_(row);
    }
    std::lock_guard lk(trace_mu_);
    Keep(row);
}

void Simulation::Keep(const TraceRow& row)
{
    if (trace_csv_ != nullptr) {
        WriteTraceRow(*trace_csv_, row);
    }
    for (size_t s = 0; s < row.readings.size(); s++) {
        if (const std::optional<int32_t> v = row.readings[s]) {
            low_[s] = low_[s] ? std::min(*low_[s], *v) : *v;
            high_[s] = high_[s] ? std::max(*high_[s], *v) : *v;
        }
    }
    if (samples_++ % kept_every_ != 0) {
        return;
    }
    trace_.push_back(row);
    if (trace_.size() > kPlotRows) {
        // Every other kept row goes: the ones left are every (2 * kept_every_)th sample from the first.
        size_t kept = 0;
        for (size_t i = 0; i < trace_.size(); i += 2) {
            trace_[kept++] = trace_[i];
        }
        trace_.resize(kept);
        kept_every_ *= 2;
    }
}

void Simulation::StreamTrace(std::ostream* csv)
{
    std::lock_guard lk(trace_mu_);
    trace_csv_ = csv;
    if (csv != nullptr) {
        WriteTraceHeader(*csv);
    }
}

void Simulation::WriteTraceHeader(std::ostream& out)
{
    out << "time (s)";
    for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
        out << "," << sensor.name << " (" << ShortUnit(sensor) << ")";
    }
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        const char* name = quavtools::kSensors[quavtools::FanSensor(static_cast<int>(fan))].name;
        out << "," << name << " stage," << name << " PWM published," << name << " PWM chip";
    }
    out << ",device,ambient (degC),heat (W),events\n";
}

void Simulation::WriteTraceRow(std::ostream& out, const TraceRow& row)
{
    auto cell = [&out](const auto& v) {
        out << ",";
        if (v) {
            out << *v;
        }
    };
    const std::string time = sim::FormatTicks(row.time);
    out << time.substr(0, time.size() - 2);
    for (const auto& v : row.readings) {
        cell(v);
    }
    for (size_t fan = 0; fan < quavtools::kFanCount; fan++) {
        cell(row.stage[fan]);
        cell(row.pwm[fan]);
        cell(row.chip_pwm[fan]);
    }
    out << "," << sim::PnpStateName(row.device);
    cell(row.ambient);
    cell(row.heat);
    out << "," << row.events << "\n";
}

std::string Simulation::TraceCsv() const
{
    std::ostringstream out;
    WriteTraceHeader(out);
    for (const TraceRow& row : trace_) {
        WriteTraceRow(out, row);
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

std::vector<sim::VerifierReport> Simulation::CollectReports()
{
    std::vector<sim::VerifierReport> reports = machine_.verifier().Take();
    reports_ += reports.size();
    return reports;
}

std::string Simulation::Summary()
{
    sim::Machine& machine = machine_;
    std::map<sim::EventSeverity, int> by_severity;
    for (const sim::EventRecord& e : machine.eventlog().Records()) {
        by_severity[e.severity]++;
    }
    std::ostringstream out;
    out << "simulated time  " << sim::FormatClock(machine.scheduler().Now()) << "\n";
    out << "polls           " << Polls() << "\n";
    out << "events          " << by_severity[sim::EventSeverity::Informational] << " informational, "
        << by_severity[sim::EventSeverity::Warning] << " warning, " << by_severity[sim::EventSeverity::Error]
        << " error\n";
    out << "stage changes   " << stage_changes_ << " (as the driver published them)\n";
    if (samples_ > 0) {
        out << "trace rows      " << samples_ << ", lowest .. highest reading:\n";
        for (size_t s = 0; s < quavtools::kSensors.size(); s++) {
            if (low_[s]) {
                const std::string name = quavtools::kSensors[s].name;
                out << "  " << name << std::string(14 - name.size(), ' ') << *low_[s] << " .. " << *high_[s]
                    << " " << ShortUnit(quavtools::kSensors[s]) << "\n";
            }
        }
    }
    out << "port accesses   " << machine.bus().Accesses() << "\n";
    // What a checked build's remove lock would have asserted on: information, never a failure.
    const sim::RemoveLockLimits limits = machine.io().RemoveLockLimitsSeen();
    out << "remove lock     " << limits.long_holds << " holds over MaxLockedMinutes, "
        << limits.over_watermark << " times over HighWatermark\n";
    out << "platform checks " << reports_ + machine.verifier().Count() << " reports of misuse\n";
    return out.str();
}

} // namespace quavsim
