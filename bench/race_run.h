// One run of the removal-race bench on quavsim's machine: the driver booted on the emulated board (the
// default configuration, polling every second), the plan's clients sending device-control and WMI
// requests on threads of their own, the plan's Plug and Play order on another, the board's faults as a
// scenario injects them; then the removal (if the order left the device) and the unload.
//
// Checked: every client and the Plug and Play thread end (a wait that never ends is a hang, and a machine
// whose threads all wait stops the process with the platform's deadlock report, which the bench's parent
// shows); no report of misuse from the platform; after the removal only the driver's copy of its
// registry path is left in pool, after the unload nothing; every request's status is one the device's
// state allows (state_status.h) and a successful one returned what it should.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "race_plan.h"

namespace races {

struct RaceOutcome {
    std::vector<std::string> failures; // empty: every check held
    bool hung = false;                 // a thread never ended: the machine is left as it is
    uint64_t requests = 0;             // client requests sent, opens and closes included
    uint64_t refused = 0;              // of them, refused because of the device's state
    uint64_t raced = 0;                // of them, in progress while a Plug and Play request was
    uint64_t polls = 0;
    std::map<std::string, uint64_t> statuses; // by status name, for --seed N
};

// Runs the plan on a machine of this process (one at a time); `log`, when set, gets every request with
// its status and the device's state, and each Plug and Play step.
RaceOutcome RunRace(const RacePlan& plan, std::string* log = nullptr);

} // namespace races
