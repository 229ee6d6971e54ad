// One simulated machine: its processor and clock (the scheduler), pool, port I/O bus, registry, event
// log, I/O manager, Plug and Play manager, WMI service and verifier. The platform's C entry points act on
// the current machine; a test or tool makes one, attaches its own thread and lets the driver run on it.
// One machine exists at a time.
#pragma once

#include <memory>

#include "bus.h"
#include "eventlog.h"
#include "iomanager.h"
#include "objects.h"
#include "pnp.h"
#include "pool.h"
#include "registry.h"
#include "scheduler.h"
#include "verifier.h"
#include "wmi.h"

namespace sim {

struct MachineOptions : SchedulerOptions {};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    static Machine& Current(); // stops the simulation when there is none
    static Machine* TryCurrent();

    Verifier& verifier() { return verifier_; }
    Scheduler& scheduler() { return scheduler_; }
    Pool& pool() { return pool_; }
    PortBus& bus() { return bus_; }
    Registry& registry() { return registry_; }
    EventLog& eventlog() { return eventlog_; }
    ObjectManager& objects() { return objects_; }
    IoManager& io() { return io_; }
    PnpManager& pnp() { return pnp_; }
    WmiService& wmi() { return wmi_; }

private:
    Verifier verifier_;
    Scheduler scheduler_;
    Pool pool_;
    PortBus bus_;
    Registry registry_;
    EventLog eventlog_{verifier_, pool_, [this] { return scheduler_.Now(); }};
    ObjectManager objects_{verifier_};
    IoManager io_{verifier_, scheduler_, pool_, eventlog_};
    PnpManager pnp_{io_, scheduler_, verifier_};
    WmiService wmi_{verifier_, io_, pnp_};
};

} // namespace sim
