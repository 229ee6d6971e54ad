// Plays a scenario against a booted simulation: sensor values and raw registers on the board, faults
// through the board's knobs, user actions on threads of their own (so a request can meet a removal in
// progress), and the thermal plant, all on the virtual clock.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "actions.h"
#include "plant.h"
#include "scenario.h"
#include "simulation.h"

namespace quavsim {

struct ActionResult {
    sim::Ticks time = 0;
    std::string action; // as written in the scenario
    std::string where;  // "/actions/3"
    NTSTATUS status = STATUS_SUCCESS;
    std::string detail;      // what came back, readably: "CPU 45 degrees C", "value 0x8101", ...
    nlohmann::json result;   // what came back in full (null when nothing did): see ActionContext
    bool unexpected = false; // the scenario expected another status
};

struct InjectedFault {
    sim::Ticks time = 0;
    std::string text; // "controller-busy for 30 s", "smbus-hang 5 transactions", "cleared sensor-absent"
};

class ScenarioRun {
public:
    ScenarioRun(Simulation& simulation, const Scenario& scenario);
    ~ScenarioRun();
    ScenarioRun(const ScenarioRun&) = delete;
    ScenarioRun& operator=(const ScenarioRun&) = delete;

    // Runs the scenario to its end on the calling (attached) thread, or until `stop` (asked at every step)
    // says to stop: the run then ends at that instant, repeating actions make no further request, and
    // the result is false. `progress` hears the clock at every step before the end.
    bool Run(const std::function<void(sim::Ticks now, sim::Ticks end)>& progress = {},
             const std::function<bool()>& stop = {});
    // Ends the run under way early, from another thread of the simulation (serve at a stop signal): its
    // waits end at once, repeating actions make no more repetitions, and Run returns false.
    void Stop();

    const std::vector<ActionResult>& results() const { return results_; }
    const std::vector<InjectedFault>& faults() const { return faults_; }
    size_t Unexpected() const;

    // One JSON object a line: time, action, place, status (name and number), detail, unexpected, and
    // the result in full when something came back.
    std::string ResultsJsonLines() const;
    // The faults injected and the actions' outcomes, for the end-of-run summary.
    std::string Summary() const;

private:
    struct Happening {
        sim::Ticks at;
        size_t order; // ties keep the scenario's order
        std::function<void()> run;
        bool operator<(const Happening& other) const
        {
            return at != other.at ? at < other.at : order < other.order;
        }
    };

    void Schedule();
    void ApplySensors(sim::Ticks now);
    void InjectFault(const Fault& fault, bool clear);
    void StartAction(const Action& action);
    ActionResult Perform(const Action& action);
    // Waits `duration` on the clock; false when the run was stopped first.
    bool Wait(sim::Ticks duration);

    Simulation& simulation_;
    const Scenario& scenario_;
    sim::Ticks start_ = 0;
    std::vector<Happening> happenings_;
    std::unique_ptr<Plant> plant_;
    bool ticking_ = false; // the plant or a ramp needs the board updated every step
    sim::Ticks step_ = sim::Seconds(1);
    KEVENT stop_{}; // a notification event: once set, every wait of the run ends
    std::vector<PKTHREAD> action_threads_;
    std::atomic<bool> stopping_{false}; // the run stops early: repeats end
    Handles handles_;               // opened by "open" actions, closed by "close" or at the end of the run
    mutable std::mutex results_mu_; // action threads append while the main thread may read
    std::vector<ActionResult> results_;
    std::vector<InjectedFault> faults_;
};

} // namespace quavsim
