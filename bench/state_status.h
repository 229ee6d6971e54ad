// The statuses a client's request may end with, by the state its device is in, as Windows and this driver
// give them. The device's state is the Plug and Play manager's view of its node, in four phases:
//
//   phase      node states                          open            device control      WMI
//   accepting  started                              success (1)     success (2)         success
//   refusing   never started, start-failed,        not connected   not connected       not connected
//              stop-pending, stopped,
//              remove-pending
//   surprise   surprise-removed                     no such name    not connected       not connected
//   gone       removed                              no such name    not connected (3)   GUID not found
//
// (1) an ordinary user is denied by the device's security before the driver sees the open, while the
//     name exists;
// (2) or what the request asks for makes it fail: a buffer too short; and with the board's faults the
//     hardware's own errors (busy, time-out, no answer);
// (3) a handle opened before a stop stays open across the stop and removal of the device; its requests
//     still reach the driver, which refuses them.
//
// A request that overlaps a Plug and Play request may see the phases before and after it, any refusing
// phase in between, and the remove lock's refusal (delete pending) of a request that got in just before
// the state changed.
#pragma once

#include <set>

#include "platform.h"
#include "race_plan.h"
#include "sim/pnp.h"

namespace races {

enum class Phase : uint8_t { Accepting, Refusing, Surprise, Gone };
Phase PhaseOf(sim::PnpState state);
const char* PhaseName(Phase phase);

// What a client does: an open, a request of the plan, or a close.
enum class Act : uint8_t { Open, Close, Request };

struct ActContext {
    Act act = Act::Request;
    RequestKind kind = RequestKind::ReadSensor; // for Act::Request
    bool administrator = true;
    bool faults = false; // the run injects the board's faults
};

// The statuses allowed in one phase.
std::set<NTSTATUS> Allowed(const ActContext& act, Phase phase);
// In a set of phases met during the request, with `transition` when a Plug and Play request was in
// progress meanwhile.
std::set<NTSTATUS> Allowed(const ActContext& act, const std::set<Phase>& phases, bool transition);

} // namespace races
