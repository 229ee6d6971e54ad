// The removal-race bench's runs, each drawn from one seed: how many clients, what each of them asks and
// when, the order of Plug and Play requests around the removal, and the board's faults. Everything comes
// from the seed, so that `quav_races --seed N` replays a run exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenario.h"
#include "sim/time.h"

namespace races {

// The seeds of the bench's runs: SplitMix64's outputs from a fixed start, the n-th run taking the n-th
// output. The list is the same on every machine and in every build.
constexpr uint64_t kFirstSeedState = 0x5155415652414345ULL; // "QUAVRACE"
uint64_t SplitMix64(uint64_t& state);
std::vector<uint64_t> SeedList(size_t count);

// A step of a Plug and Play order: one request, or the removal or stop as the PnP manager carries it out
// (the query first, the cancel after a veto; a surprise-removed device removed once its last handle has
// closed).
enum class PnpStep : uint8_t {
    Start,
    QueryStop,
    Stop,
    CancelStop,
    QueryRemove,
    CancelRemove,
    SurpriseRemoval,
    Remove,       // PnpManager::Remove
    StopAsSystem, // PnpManager::Stop
};
const char* PnpStepName(PnpStep step);

// An order Windows sends around a removal, by name ("query-stop, stop, start").
struct PnpOrder {
    const char* name;
    std::vector<PnpStep> steps;
};
const std::vector<PnpOrder>& PnpOrders();

enum class RequestKind : uint8_t {
    ReadSensor,    // IOCTL_QUAV_READ_SENSOR on the client's handle
    SetPwm,        // IOCTL_QUAV_SET_FAN_PWM
    ReadControl,   // IOCTL_QUAV_READ_CONTROL
    Nop,           // IOCTL_QUAV_NOP1
    ShortBuffer,   // a read-sensor request with an output buffer one byte short
    WmiQuery,      // the whole sensor data block
    WmiSetCritical // the block's method setting a sensor's upper critical limit
};
const char* RequestName(RequestKind kind);

struct Request {
    RequestKind kind = RequestKind::ReadSensor;
    uint32_t sensor = 0; // its place in quavtools::kSensors (a fan for SetPwm)
    uint32_t value = 0;  // PWM, or the critical limit
    sim::Ticks gap = 0;  // waited before it
};

// A client opens the device, sends its requests on the handle, closes it, and does so for each of its
// sessions; a session whose open fails still sends its WMI requests (WMI needs no handle).
struct Session {
    sim::Ticks gap = 0; // waited before the open
    std::vector<Request> requests;
};

struct ClientPlan {
    sim::Ticks start = 0;
    bool administrator = true;
    std::vector<Session> sessions;
};

struct TimedStep {
    sim::Ticks gap = 0; // after the previous step ended
    PnpStep step = PnpStep::Start;
};

struct RacePlan {
    uint64_t seed = 0;
    uint64_t machine_seed = 0; // the scheduler's: thread interleavings
    unsigned preempt_percent = 0;
    size_t order = 0; // in PnpOrders()
    sim::Ticks pnp_start = 0;
    std::vector<TimedStep> pnp;
    // The bus driver below pends each Plug and Play request this long before completing it (0: at once),
    // as a lower driver that finishes its part on another thread does: the driver's state changes
    // while the request is still under way.
    sim::Ticks lower_delay = 0;
    std::vector<ClientPlan> clients;
    std::vector<quavsim::Fault> faults; // empty in the runs without faults
    sim::Ticks duration = 0;            // the board's faults and the trace run this long
};

RacePlan MakePlan(uint64_t seed);
// One line a client, a line for the Plug and Play order and one a fault: what --seed N shows.
std::string Describe(const RacePlan& plan);

} // namespace races
