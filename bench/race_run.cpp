#include "race_run.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>

#include "quav.h"
#include "quavpub.h"
#include "scenario_run.h"
#include "sensors.h"
#include "sim/user.h"
#include "simulation.h"
#include "state_status.h"
#include "status_names.h"

namespace races {

namespace {

const GUID kSensorData = QUAV_SENSOR_DATA_GUID_INIT;
constexpr const char* kParameters =
    "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters";
// How long after the run's end the clients and the Plug and Play thread may take to finish: far beyond
// any request's retries on a faulty chip, so that one still waiting then waits for ever.
constexpr sim::Ticks kJoinWithin = sim::Seconds(600);

// A Plug and Play call, from before it was made to after it returned, in the order of everything the
// run's threads did (one simulated thread runs at a time, so a counter orders them).
struct Transition {
    uint64_t begin;
    uint64_t end;
    Phase before;
    Phase after;
};

struct ClientAct {
    uint64_t begin;
    uint64_t end;
    ActContext context;
    NTSTATUS status;
    std::string what; // "client 2 read-sensor CPU"
    std::string bad;  // what came back wrong with a success
};

bool JoinWithin(PKTHREAD thread, sim::Ticks within)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -within;
    return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
}

class Race {
public:
    Race(const RacePlan& plan, quavsim::Simulation& simulation) : plan_(plan), sim_(simulation) {}

    void Client(size_t index);
    void PlugAndPlay();
    // Checks every act against the phases it met; failures go to `out`, and each act to `log`.
    void Check(RaceOutcome& out, std::string* log) const;

private:
    // The phases a request met, and whether a Plug and Play request was in progress meanwhile (one
    // that changed the phase: a transition).
    struct Met {
        std::set<Phase> phases;
        bool overlapped = false;
        bool transition = false;
    };
    Met PhasesMet(const ClientAct& a) const;
    uint64_t Tick() { return ++seq_; }
    NTSTATUS Send(sim::UserClient& user, HANDLE handle, const Request& r, std::string* bad);
    NTSTATUS SendWmi(const Request& r, std::string* bad);
    void Record(ClientAct act);
    NTSTATUS Step(PnpStep step);

    const RacePlan& plan_;
    quavsim::Simulation& sim_;
    std::atomic<uint64_t> seq_{0};
    mutable std::mutex mu_;
    std::vector<Transition> transitions_;
    std::vector<ClientAct> acts_;
    std::vector<std::pair<uint64_t, std::string>> pnp_log_; // by where it began
};

NTSTATUS Race::Send(sim::UserClient& user, HANDLE handle, const Request& r, std::string* bad)
{
    const quavtools::SensorInfo& sensor = quavtools::kSensors[r.sensor];
    struct {
        SENSOR_RECORD record;
        ULONG argument;
    } in{};
    in.record.SensorType = sensor.type;
    in.record.SensorId = sensor.id;
    in.argument = r.value;
    SENSOR_RECORD out{};
    ULONG returned = 0;
    ULONG code = IOCTL_QUAV_READ_SENSOR;
    ULONG in_size = sizeof in.record;
    ULONG out_size = sizeof out;
    ULONG expected = sizeof out;
    switch (r.kind) {
        case RequestKind::SetPwm:
            code = IOCTL_QUAV_SET_FAN_PWM;
            in_size = sizeof in;
            break;
        case RequestKind::ReadControl: {
            CONTROL_RECORD control{};
            control.ControlClass = CONTROL_CLASS_FWP_MODE;
            control.ControlIndex = CONTROL_INDEX_FWP_MODE;
            static_assert(sizeof control <= sizeof in);
            std::memcpy(&in, &control, sizeof control);
            code = IOCTL_QUAV_READ_CONTROL;
            in_size = out_size = expected = sizeof control;
            break;
        }
        case RequestKind::Nop:
            code = IOCTL_QUAV_NOP1;
            in_size = out_size = expected = 0;
            break;
        case RequestKind::ShortBuffer:
            out_size = sizeof out - 1;
            break;
        default:
            break;
    }
    const NTSTATUS status = user.DeviceIoControl(handle, code, &in, in_size, &out, out_size, &returned);
    if (status == STATUS_SUCCESS && returned != expected) {
        *bad = std::to_string(returned) + " bytes back, not " + std::to_string(expected);
    } else if (status == STATUS_SUCCESS && expected == sizeof out &&
               (out.SensorType != sensor.type || out.SensorId != sensor.id)) {
        *bad = "the record of another sensor came back";
    } else if (!NT_SUCCESS(status) && returned != 0) {
        *bad = "a failed request returned " + std::to_string(returned) + " bytes";
    }
    return status;
}

NTSTATUS Race::SendWmi(const Request& r, std::string* bad)
{
    sim::WmiService& wmi = sim_.machine().wmi();
    std::vector<uint8_t> data;
    if (r.kind == RequestKind::WmiQuery) {
        const NTSTATUS status = wmi.QueryAllData(kSensorData, &data);
        const size_t expected = quavtools::kSensorCount * sizeof(SENSOR_DATA_ENTRY);
        if (status == STATUS_SUCCESS && data.size() != expected) {
            *bad = std::to_string(data.size()) + " bytes of data block, not " + std::to_string(expected);
        }
        return status;
    }
    const SENSOR_METHOD_INPUT in{quavtools::kSensors[r.sensor].wmi_number, static_cast<LONG>(r.value)};
    return wmi.ExecuteMethod(kSensorData, 0, WMI_METHOD_SET_CRITICAL_UPPER,
                             {reinterpret_cast<const uint8_t*>(&in), sizeof in}, 0, &data);
}

void Race::Record(ClientAct act)
{
    std::lock_guard lk(mu_);
    acts_.push_back(std::move(act));
}

void Race::Client(size_t index)
{
    const ClientPlan& plan = plan_.clients[index];
    const std::string who = "client " + std::to_string(index) + " ";
    sim::UserClient user(plan.administrator);
    ActContext context;
    context.administrator = plan.administrator;
    context.faults = !plan_.faults.empty();
    sim::Sleep(plan.start);
    for (const Session& s : plan.sessions) {
        sim::Sleep(s.gap);
        HANDLE handle = nullptr;
        context.act = Act::Open;
        uint64_t begin = Tick();
        const NTSTATUS opened = user.Open(u"" QUAV_USER_PATH_TEXT, &handle);
        Record({begin, Tick(), context, opened, who + "open", {}});
        for (const Request& r : s.requests) {
            const bool wmi = r.kind == RequestKind::WmiQuery || r.kind == RequestKind::WmiSetCritical;
            if (!wmi && !NT_SUCCESS(opened)) {
                continue; // no handle to send it on
            }
            sim::Sleep(r.gap);
            context.act = Act::Request;
            context.kind = r.kind;
            std::string bad;
            begin = Tick();
            const NTSTATUS status = wmi ? SendWmi(r, &bad) : Send(user, handle, r, &bad);
            const bool sensor = r.kind != RequestKind::Nop && r.kind != RequestKind::ReadControl &&
                                r.kind != RequestKind::WmiQuery;
            Record({begin, Tick(), context, status,
                    who + RequestName(r.kind) +
                        (sensor ? std::string(" ") + quavtools::kSensors[r.sensor].name : ""),
                    bad});
        }
        if (NT_SUCCESS(opened)) {
            context.act = Act::Close;
            begin = Tick();
            const NTSTATUS closed = user.Close(handle);
            Record({begin, Tick(), context, closed, who + "close", {}});
        }
    }
}

NTSTATUS Race::Step(PnpStep step)
{
    sim::PnpManager& pnp = sim_.machine().pnp();
    PDEVICE_OBJECT pdo = sim_.pdo();
    switch (step) {
        case PnpStep::Start:
            return pnp.Start(pdo);
        case PnpStep::QueryStop:
            return pnp.QueryStop(pdo);
        case PnpStep::Stop:
            return pnp.Request(pdo, IRP_MN_STOP_DEVICE);
        case PnpStep::CancelStop:
            return pnp.CancelStop(pdo);
        case PnpStep::QueryRemove:
            return pnp.QueryRemove(pdo);
        case PnpStep::CancelRemove:
            return pnp.CancelRemove(pdo);
        case PnpStep::SurpriseRemoval:
            return pnp.SurpriseRemoval(pdo);
        case PnpStep::Remove:
            return pnp.Remove(pdo);
        case PnpStep::StopAsSystem:
            return pnp.Stop(pdo);
    }
    return STATUS_INVALID_PARAMETER;
}

void Race::PlugAndPlay()
{
    sim::PnpManager& pnp = sim_.machine().pnp();
    sim::Sleep(plan_.pnp_start);
    for (const TimedStep& s : plan_.pnp) {
        sim::Sleep(s.gap);
        const Phase before = PhaseOf(pnp.State(sim_.pdo()));
        const uint64_t begin = Tick();
        const NTSTATUS status = Step(s.step);
        const uint64_t end = Tick();
        const Phase after = PhaseOf(pnp.State(sim_.pdo()));
        std::lock_guard lk(mu_);
        transitions_.push_back({begin, end, before, after});
        pnp_log_.emplace_back(begin, "[" + std::to_string(begin) + ".." + std::to_string(end) + "] " +
                                         sim::FormatTicks(sim::Now()) + " pnp " + PnpStepName(s.step) + ": " +
                                         quavtools::StatusText(static_cast<uint32_t>(status)) + ", " +
                                         PhaseName(before) + " -> " + PhaseName(after));
    }
}

Race::Met Race::PhasesMet(const ClientAct& a) const
{
    Met met;
    Phase at_begin = Phase::Accepting;
    for (const Transition& t : transitions_) {
        if (t.end < a.begin) {
            at_begin = t.after;
        } else if (t.begin < a.end) {
            met.phases.insert(t.before);
            met.phases.insert(t.after);
            met.overlapped = true;
            met.transition = met.transition || t.before != t.after;
        }
    }
    met.phases.insert(at_begin);
    return met;
}

void Race::Check(RaceOutcome& out, std::string* log) const
{
    std::lock_guard lk(mu_);
    std::vector<std::pair<uint64_t, std::string>> lines = pnp_log_;
    for (const ClientAct& a : acts_) {
        const Met met = PhasesMet(a);
        const std::set<NTSTATUS> allowed = Allowed(a.context, met.phases, met.transition);
        const std::string status = quavtools::StatusText(static_cast<uint32_t>(a.status));
        std::string phases;
        for (Phase p : met.phases) {
            phases += std::string(phases.empty() ? "" : "/") + PhaseName(p);
        }
        out.requests++;
        out.raced += met.overlapped;
        out.statuses[status]++;
        out.refused += a.status == STATUS_DEVICE_NOT_CONNECTED || a.status == STATUS_DELETE_PENDING ||
                       a.status == STATUS_OBJECT_NAME_NOT_FOUND || a.status == STATUS_WMI_GUID_NOT_FOUND;
        const std::string line = "[" + std::to_string(a.begin) + ".." + std::to_string(a.end) + "] " +
                                 a.what + ": " + status + " (" + phases + ")";
        lines.emplace_back(a.begin, line);
        if (allowed.count(a.status) == 0) {
            out.failures.push_back("status not allowed by the device's state: " + line);
        } else if (!a.bad.empty()) {
            out.failures.push_back(line + ": " + a.bad);
        }
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& [begin, line] : lines) {
        if (log != nullptr) {
            *log += line + "\n";
        }
    }
}

quavsim::SimulationOptions Options(const RacePlan& plan)
{
    quavsim::SimulationOptions options;
    options.config_reg = quavsim::ReadTextFile(QUAV_RACES_CONFIG);
    options.config_origin = QUAV_RACES_CONFIG;
    options.machine.seed = plan.machine_seed;
    options.machine.preempt_percent = plan.preempt_percent;
    return options;
}

// After the run: the removal (if the order left the device), then the checks on what it left.
void RemoveAndUnload(quavsim::Simulation& simulation, RaceOutcome& out)
{
    sim::Machine& machine = simulation.machine();
    if (machine.pnp().State(simulation.pdo()) != sim::PnpState::Removed) {
        const NTSTATUS status = machine.pnp().Remove(simulation.pdo());
        if (status != STATUS_SUCCESS) {
            out.failures.push_back("the removal at the end ended with " +
                                   quavtools::StatusText(static_cast<uint32_t>(status)));
        }
    }
    // The bus driver's thread that completed a pended removal has still to end: it does while this one
    // sleeps, as every thread that can run does before the clock moves.
    sim::Sleep(sim::Ms(1));
    // The driver keeps the copy of its registry path until it is unloaded.
    if (machine.pool().OutstandingTotal() != machine.pool().Outstanding(REGISTRY_PATH_TAG) ||
        machine.pool().Outstanding(REGISTRY_PATH_TAG) != 1) {
        out.failures.push_back("after the removal, pool left: " +
                               std::to_string(machine.pool().OutstandingTotal()) + " allocations");
    }
    if (machine.scheduler().LiveThreads() != 1) {
        out.failures.push_back("after the removal, threads left:\n" + machine.scheduler().DescribeThreads());
    }
    simulation.Shutdown();
    if (machine.pool().OutstandingTotal() != 0) {
        out.failures.push_back("after the unload, pool left: " +
                               std::to_string(machine.pool().OutstandingTotal()) + " allocations");
    }
    if (machine.eventlog().Outstanding() != 0 || machine.objects().OpenHandles() != 0) {
        out.failures.push_back("after the unload, event-log packets or object handles left");
    }
}

} // namespace

RaceOutcome RunRace(const RacePlan& plan, std::string* log)
{
    RaceOutcome out;
    // Kept when a thread hangs: the machine cannot be taken down under a thread that still waits, and
    // the process ends after reporting.
    auto simulation = std::make_unique<quavsim::Simulation>(Options(plan));
    simulation->machine().registry().SetDword(kParameters, "POLLING_INTERVAL", 1);
    quavsim::Scenario scenario;
    scenario.duration = plan.duration;
    scenario.sample = sim::Seconds(1);
    scenario.faults = plan.faults;
    {
        quavsim::ScenarioRun run(*simulation, scenario);
        const NTSTATUS booted = simulation->Boot();
        if (booted != STATUS_SUCCESS) {
            out.failures.push_back("the device's start ended with " +
                                   quavtools::StatusText(static_cast<uint32_t>(booted)));
        }
        sim::Sleep(sim::Ms(1)); // WMI's registration thread asks for the device's blocks
        for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                            IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE,
                            IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}) {
            simulation->machine().pnp().Delay(minor, plan.lower_delay);
        }
        Race race(plan, *simulation);
        std::vector<PKTHREAD> threads;
        for (size_t i = 0; i < plan.clients.size(); i++) {
            threads.push_back(
                sim::StartThread("client " + std::to_string(i), [&race, i] { race.Client(i); }));
        }
        threads.push_back(sim::StartThread("pnp", [&race] { race.PlugAndPlay(); }));
        run.Run();
        for (PKTHREAD t : threads) {
            if (!JoinWithin(t, kJoinWithin)) {
                out.failures.push_back("hang: a thread still waits " + sim::FormatTicks(kJoinWithin) +
                                       " after the run's end:\n" +
                                       simulation->machine().scheduler().DescribeThreads());
                out.hung = true;
                simulation.release(); // see above
                return out;
            }
        }
        race.Check(out, log);
    }
    out.polls = simulation->Polls();
    RemoveAndUnload(*simulation, out);
    for (const sim::VerifierReport& r : simulation->CollectReports()) {
        out.failures.push_back("verifier (" + r.source + "): " + r.text);
    }
    return out;
}

} // namespace races
