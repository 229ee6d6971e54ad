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

// Where each sensor's reading is published, in the order of kSensorNames.
const std::array<std::pair<const char*, const char*>, 12> kPublished = {{
    {"FAN", "FAN_REAR_UPPER"},
    {"FAN", "FAN_REAR_BOTTOM"},
    {"THERMAL", "CPU"},
    {"THERMAL", "SYSTEM"},
    {"THERMAL", "BackPlane"},
    {"THERMAL", "VRM"},
    {"VOLTAGE", "VCCP"},
    {"VOLTAGE", "18V"},
    {"VOLTAGE", "33V"},
    {"VOLTAGE", "5V"},
    {"VOLTAGE", "12V"},
    {"VOLTAGE", "AUX"},
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

const std::array<const char*, 12> Simulation::kSensorNames = {"Rear Upper", "Rear Bottom", "CPU",  "System",
                                                              "Backplane",  "VRM",         "VCCP", "1.8V",
                                                              "3.3V",       "5V",          "12V",  "AUX"};

Simulation::Simulation(const SimulationOptions& options) : machine_(options.machine), board_(machine_.bus())
{
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
    thread_.reset();
}

NTSTATUS Simulation::Boot()
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = machine_.io().LoadDriver("QUAV", DriverEntry, kServicePath, &status, kQuavMessages);
    if (driver_ == nullptr) {
        return status;
    }
    running_ = true;
    pdo_ = machine_.pnp().AddDevice(driver_, &status);
    if (pdo_ == nullptr) {
        return status;
    }
    const NTSTATUS started = machine_.pnp().Start(pdo_);
    if (NT_SUCCESS(started) && g_DeviceExtension != nullptr) {
        monitor_wait_ = &g_DeviceExtension->MonitorSemaphore;
    }
    return started;
}

uint64_t Simulation::Polls()
{
    return monitor_wait_ != nullptr ? machine_.scheduler().Timeouts(monitor_wait_) : 0;
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
    for (size_t i = 0; i < kPublished.size(); i++) {
        if (auto v = r.GetDword(kCurrent + kPublished[i].first, kPublished[i].second)) {
            row.readings[i] = static_cast<int32_t>(*v);
        }
    }
    row.stage = {r.GetDword(kCurrent + "FAN", "FANCNTL_RU_CURRENT_STAGE"),
                 r.GetDword(kCurrent + "FAN", "FANCNTL_RB_CURRENT_STAGE")};
    row.pwm = {r.GetDword(kCurrent + "FAN", "FANCNTL_RU_CURRENT_PWM"),
               r.GetDword(kCurrent + "FAN", "FANCNTL_RB_CURRENT_PWM")};
    row.events = machine_.eventlog().Count();
    trace_.push_back(row);
}

std::string Simulation::TraceCsv() const
{
    std::ostringstream out;
    out << "time_s";
    for (const char* name : kSensorNames) {
        out << "," << name;
    }
    out << ",Rear Upper stage,Rear Upper PWM,Rear Bottom stage,Rear Bottom PWM,events\n";
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
        for (size_t fan = 0; fan < 2; fan++) {
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
            changes += (trace_[i].stage[0] != trace_[i - 1].stage[0]) +
                       (trace_[i].stage[1] != trace_[i - 1].stage[1]);
        }
        out << "stage changes   " << changes << " (in " << trace_.size() << " samples)\n";
        for (size_t s = 0; s < kSensorNames.size(); s++) {
            std::optional<int32_t> low;
            std::optional<int32_t> high;
            for (const TraceRow& row : trace_) {
                if (row.readings[s]) {
                    low = low ? std::min(*low, *row.readings[s]) : *row.readings[s];
                    high = high ? std::max(*high, *row.readings[s]) : *row.readings[s];
                }
            }
            if (low) {
                out << "  " << kSensorNames[s] << std::string(14 - std::string(kSensorNames[s]).size(), ' ')
                    << *low << " .. " << *high << "\n";
            }
        }
    }
    out << "port accesses   " << machine.bus().Accesses() << "\n";
    return out.str();
}

} // namespace quavsim
