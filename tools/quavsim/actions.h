// The kinds of user action a scenario can hold, a row each: the name a scenario gives, the fields it
// takes besides those every action has ("at", "action", "repeat", "every", "expect"), how its fields are
// read into an Action and how it is performed against the running machine. A new action is a row in
// ActionKinds() and its two functions.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/user.h"

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

// The handles "open" actions keep open by name, each with the client (an ordinary user or an
// administrator) that opened it. Many action threads use it at once.
class Handles {
public:
    struct Entry {
        std::unique_ptr<sim::UserClient> client;
        HANDLE handle = nullptr;
    };

    // Opens `path` and, when it opens and `name` is not empty, keeps the handle under that name
    // (STATUS_INVALID_PARAMETER when one by that name is still open); an unnamed handle is closed at once.
    NTSTATUS Open(const std::string& name, bool administrator, const std::u16string& path);
    std::shared_ptr<Entry> Find(const std::string& name) const; // nullptr: none open by that name
    NTSTATUS Close(const std::string& name);                    // STATUS_INVALID_HANDLE: none open
    // Closes what is still open, as the end of a process does; on an attached thread.
    void CloseAll();

private:
    mutable std::mutex mu_;
    std::map<std::string, std::shared_ptr<Entry>> open_;
};

// What an action is performed with, and where what came back goes.
struct ActionContext {
    Simulation& simulation;
    Handles& handles;
    std::ostream& detail;   // readably, shortly: "CPU 45 degrees C (critical 0..90)"
    nlohmann::json& result; // in full: a record's fields, every WMI entry, the output bytes
};

struct ActionKind {
    const char* name;
    std::vector<const char*> fields; // its own fields, in the order a complaint lists them
    // Fills the action's own fields; the reader refuses what is wrong, naming the field.
    void (*read)(const ActionFields& fields, Action& action);
    // Runs the action on the calling thread; what came back goes to the context's detail and result.
    NTSTATUS (*perform)(const Action& action, ActionContext& context);
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
// Refuses an action naming a handle that no "open" action names.
void CheckHandles(const ScenarioReader& reader, const std::vector<Action>& actions);

} // namespace quavsim
