// quavsim run: boots the simulated machine with the configuration (the scenario's, else the default one,
// default_config.h), plays the scenario (none: the board at rest for an hour), and writes to
// the output folder the event log (events.txt, events.jsonl), the final registry (registry.reg), a trace
// of the published readings and fan stages (trace.csv, written as the run goes), a plot of it with the
// events (plot.svg), the outcome of each user action (actions.jsonl) and the platform's reports of misuse
// (reports.txt, also printed on stderr), then prints a summary. The output folder is made and checked
// before the machine boots; SIGINT or SIGTERM stops the run where it is, and the outputs and the summary
// are written for the run so far.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "sim/sim.h"

namespace CLI {
class App;
}

namespace quavsim {

class Simulation;

// quavsim's exit statuses.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitError = 1,      // usage, configuration or scenario, or a device start not as the scenario says
    kExitUnexpected = 2, // an action ended with another status than the scenario expected
    kExitMisuse = 3,     // the platform reported a misuse (the run's outputs are written first)
    // SIGINT or SIGTERM stopped the run: the outputs hold the run up to then (128 + SIGINT, as a shell
    // reports a program the signal ended).
    kExitInterrupted = 130,
};

// The most trace rows (duration / sample) a run may take: a run that would write more is refused before
// it starts. At about 80 bytes a row, trace.csv stays under a gigabyte.
constexpr uint64_t kMaxTraceRows = 10'000'000;

struct RunOptions {
    std::string scenario;
    std::string config;
    std::string duration; // as the command line gives them, checked by its validators; empty: the scenario's
    std::string sample;
    std::string seed;
    std::string out_dir = "quavsim-out";
    std::string image;
    // Called once the device has started, before the scenario plays (tests use it to reach the machine).
    std::function<void(Simulation&)> after_boot;
};

// Adds the `run` subcommand with its options to quavsim's command line.
CLI::App* AddRunCommand(CLI::App& app, RunOptions& options);
// Runs and reports; the process's exit status. Throws std::exception for an error (kExitError).
int RunScenario(const RunOptions& options);

} // namespace quavsim
