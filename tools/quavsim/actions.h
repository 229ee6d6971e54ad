// The kinds of user action a scenario can hold, a row each: the name a scenario gives, the fields it
// takes besides those every action has ("at", "action", "repeat", "every", "expect"), how its fields are
// read into an Action and how it is performed against the running machine. A new action is a row in
// ActionKinds() and its two functions.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"
#include "scenario_reader.h"
#include "simulation.h"

namespace quavsim {

// One action object of a scenario being read, and where it is.
struct ActionFields {
    const ScenarioReader& reader;
    const nlohmann::json& object;
    const std::string& where; // "/actions/3"

    std::string Place(const char* key) const { return ScenarioReader::Join(where, key); }
    // A required field's whole number in [low, high].
    uint32_t Unsigned(const char* key, int64_t low, int64_t high) const;
};

struct ActionKind {
    const char* name;
    std::vector<const char*> fields; // its own fields, in the order a complaint lists them
    // Fills the action's own fields; the reader refuses what is wrong, naming the field.
    void (*read)(const ActionFields& fields, Action& action);
    // Runs the action on the calling thread; what came back goes to `detail`, readably.
    NTSTATUS (*perform)(Simulation& simulation, const Action& action, std::ostream& detail);
    // Whether the end-of-run summary shows each outcome's detail, not only its status: a Plug and Play
    // request's says what was sent, or why nothing was.
    bool detail_in_summary;
};

// Every kind, in the order they are documented.
const std::vector<ActionKind>& ActionKinds();
const ActionKind* FindActionKind(std::string_view name);

// Reads the action's name and its kind's own fields, refusing a field of neither the kind nor every action.
void ReadActionKind(const ScenarioReader& reader, const nlohmann::json& object, const std::string& where,
                    Action& action);

} // namespace quavsim
