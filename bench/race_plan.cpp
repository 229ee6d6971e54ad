#include "race_plan.h"

#include <random>
#include <sstream>

#include "sensors.h"

namespace races {

uint64_t SplitMix64(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::vector<uint64_t> SeedList(size_t count)
{
    uint64_t state = kFirstSeedState;
    std::vector<uint64_t> seeds;
    for (size_t i = 0; i < count; i++) {
        // The scenario reader and quavsim take seeds up to 2^63 - 1: keep the bench's within that.
        seeds.push_back(SplitMix64(state) >> 1);
    }
    return seeds;
}

const char* PnpStepName(PnpStep step)
{
    switch (step) {
        case PnpStep::Start:
            return "start";
        case PnpStep::QueryStop:
            return "query-stop";
        case PnpStep::Stop:
            return "stop";
        case PnpStep::CancelStop:
            return "cancel-stop";
        case PnpStep::QueryRemove:
            return "query-remove";
        case PnpStep::CancelRemove:
            return "cancel-remove";
        case PnpStep::SurpriseRemoval:
            return "surprise-removal";
        case PnpStep::Remove:
            return "remove";
        case PnpStep::StopAsSystem:
            return "stop (query-stop, stop)";
    }
    return "?";
}

// Every order ends, if the device is still there, with the removal at the end of the run (the PnP
// manager's, after the clients have gone): each run removes the device and unloads the driver.
const std::vector<PnpOrder>& PnpOrders()
{
    using S = PnpStep;
    static const std::vector<PnpOrder> orders = {
        {"query-remove, cancel-remove", {S::QueryRemove, S::CancelRemove}},
        {"query-remove, remove", {S::Remove}},
        {"surprise-removal, remove after the last close", {S::SurpriseRemoval, S::Remove}},
        {"query-stop, stop, start", {S::QueryStop, S::Stop, S::Start}},
        {"query-stop, cancel-stop", {S::QueryStop, S::CancelStop}},
        {"stop, remove", {S::StopAsSystem, S::Remove}},
        {"stop, surprise-removal, remove", {S::StopAsSystem, S::SurpriseRemoval, S::Remove}},
        {"query-stop, surprise-removal, remove", {S::QueryStop, S::SurpriseRemoval, S::Remove}},
        {"query-remove, surprise-removal, remove", {S::QueryRemove, S::SurpriseRemoval, S::Remove}},
        {"query-stop, cancel-stop, query-remove, remove", {S::QueryStop, S::CancelStop, S::Remove}},
        {"query-remove, cancel-remove, surprise-removal, remove",
         {S::QueryRemove, S::CancelRemove, S::SurpriseRemoval, S::Remove}},
        {"query-remove, cancel-remove, query-remove, remove", {S::QueryRemove, S::CancelRemove, S::Remove}},
    };
    return orders;
}

const char* RequestName(RequestKind kind)
{
    switch (kind) {
        case RequestKind::ReadSensor:
            return "read-sensor";
        case RequestKind::SetPwm:
            return "set-pwm";
        case RequestKind::ReadControl:
            return "read-control";
        case RequestKind::Nop:
            return "nop";
        case RequestKind::ShortBuffer:
            return "short-buffer";
        case RequestKind::WmiQuery:
            return "wmi-query";
        case RequestKind::WmiSetCritical:
            return "wmi-set-critical";
    }
    return "?";
}

namespace {

class Draw {
public:
    explicit Draw(uint64_t seed) : rng_(seed) {}
    uint64_t Int(uint64_t low, uint64_t high)
    {
        return std::uniform_int_distribution<uint64_t>(low, high)(rng_);
    }
    bool Chance(unsigned percent) { return Int(0, 99) < percent; }
    // A gap on a grid of 50 ms, none at times: the threads, the monitor's polls on whole seconds and the
    // faults meet at one instant often, and the scheduler's seed then decides who goes first and where a
    // thread is preempted.
    sim::Ticks Gap(int64_t max_ms) { return sim::Ms(50 * static_cast<int64_t>(Int(0, max_ms / 50))); }

private:
    std::mt19937_64 rng_;
};

Request MakeRequest(Draw& d)
{
    Request r;
    r.kind = static_cast<RequestKind>(d.Int(0, 6));
    r.gap = d.Gap(600);
    if (r.kind == RequestKind::SetPwm) {
        r.sensor = static_cast<uint32_t>(quavtools::FanSensor(static_cast<int>(d.Int(0, 1))));
        r.value = static_cast<uint32_t>(d.Int(0, 255));
    } else {
        r.sensor = static_cast<uint32_t>(d.Int(0, quavtools::kSensorCount - 1));
    }
    if (r.kind == RequestKind::WmiSetCritical) {
        r.value = static_cast<uint32_t>(d.Int(60, 100)); // a limit the sensor's reading stays under
        r.sensor = static_cast<uint32_t>(*quavtools::SensorIndex("CPU"));
    }
    return r;
}

std::vector<quavsim::Fault> MakeFaults(Draw& d)
{
    std::vector<quavsim::Fault> faults(d.Int(1, 3));
    for (quavsim::Fault& f : faults) {
        f.kind = static_cast<quavsim::FaultKind>(d.Int(0, 4));
        f.at = d.Gap(6000);
        // The sensor's absence has no count: it lasts a while.
        if (f.kind != quavsim::FaultKind::SensorAbsent && d.Chance(50)) {
            f.count = static_cast<int>(d.Int(1, 20));
        } else {
            f.duration = sim::Ms(static_cast<int64_t>(d.Int(100, 8000)));
        }
        f.where = "fault";
    }
    return faults;
}

} // namespace

RacePlan MakePlan(uint64_t seed)
{
    Draw d(seed);
    RacePlan plan;
    plan.seed = seed;
    plan.machine_seed = d.Int(1, UINT32_MAX);
    plan.preempt_percent = static_cast<unsigned>(d.Int(5, 40));
    plan.order = d.Int(0, PnpOrders().size() - 1);
    plan.pnp_start = d.Gap(4000);
    plan.lower_delay = d.Chance(25) ? 0 : d.Gap(300);
    for (PnpStep step : PnpOrders()[plan.order].steps) {
        plan.pnp.push_back({d.Gap(2000), step});
    }
    plan.clients.resize(d.Int(2, 7));
    for (ClientPlan& c : plan.clients) {
        c.start = d.Gap(2000);
        c.administrator = !d.Chance(10); // an ordinary user: refused at the open (quav.inf's security)
        c.sessions.resize(d.Int(1, 3));
        for (Session& s : c.sessions) {
            s.gap = d.Gap(1000);
            s.requests.resize(d.Int(1, 10));
            for (Request& r : s.requests) {
                r = MakeRequest(d);
            }
        }
    }
    if (d.Chance(50)) {
        plan.faults = MakeFaults(d);
    }
    plan.duration = sim::Seconds(30);
    return plan;
}

std::string Describe(const RacePlan& plan)
{
    std::ostringstream out;
    out << "seed " << plan.seed << ": scheduler seed " << plan.machine_seed << ", " << plan.preempt_percent
        << "% preemption\n";
    out << "  pnp at " << sim::FormatTicks(plan.pnp_start) << ", the bus driver pending each request "
        << sim::FormatTicks(plan.lower_delay) << ":";
    for (const TimedStep& s : plan.pnp) {
        out << " +" << sim::FormatTicks(s.gap) << " " << PnpStepName(s.step) << ";";
    }
    out << "\n";
    for (size_t i = 0; i < plan.clients.size(); i++) {
        const ClientPlan& c = plan.clients[i];
        out << "  client " << i << (c.administrator ? "" : " (user)") << " at " << sim::FormatTicks(c.start)
            << ":";
        for (const Session& s : c.sessions) {
            out << " [+" << sim::FormatTicks(s.gap) << " open";
            for (const Request& r : s.requests) {
                out << ", " << RequestName(r.kind);
            }
            out << ", close]";
        }
        out << "\n";
    }
    for (const quavsim::Fault& f : plan.faults) {
        out << "  fault " << quavsim::FaultName(f.kind) << " at " << sim::FormatTicks(f.at);
        if (f.count) {
            out << ", " << *f.count << " times";
        }
        if (f.duration) {
            out << ", for " << sim::FormatTicks(*f.duration);
        }
        out << "\n";
    }
    return out.str();
}

} // namespace races
