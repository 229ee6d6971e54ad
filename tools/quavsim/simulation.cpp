#include "simulation.h"

#include <map>
#include <sstream>

#include "framework/quavpnp.h"
#include "quavmsg_table.h"
#include "sim/pnp.h"

namespace quavsim {

namespace {

constexpr const char16_t* kServicePath = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";

} // namespace

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
    return machine_.pnp().Start(pdo_);
}

void Simulation::RunFor(sim::Ticks time)
{
    sim::Sleep(time);
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

std::string Simulation::Summary() const
{
    auto& machine = const_cast<sim::Machine&>(machine_);
    std::map<sim::EventSeverity, int> by_severity;
    for (const sim::EventRecord& e : machine.eventlog().Records()) {
        by_severity[e.severity]++;
    }
    std::ostringstream out;
    out << "simulated time  " << sim::FormatTicks(machine.scheduler().Now()) << "\n";
    out << "events          " << by_severity[sim::EventSeverity::Informational] << " informational, "
        << by_severity[sim::EventSeverity::Warning] << " warning, " << by_severity[sim::EventSeverity::Error]
        << " error\n";
    out << "port accesses   " << machine.bus().Accesses() << "\n";
    return out.str();
}

} // namespace quavsim
