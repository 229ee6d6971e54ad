#include "run_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <unistd.h>

#include "cli_numbers.h"
#include "config_check.h"
#include "default_config.h"
#include "errno_text.h"
#include "run_outputs.h"
#include "scenario_run.h"
#include "simulation.h"
#include "status_names.h"
#include "stop_signals.h"

namespace quavsim {

namespace {

// The scenario with the command line's overrides, refused when its trace would be too long to write.
Scenario LoadRun(const RunOptions& o)
{
    // Without a scenario the board keeps its resting values for the duration.
    Scenario scenario;
    if (!o.scenario.empty()) {
        scenario = LoadScenario(o.scenario);
    } else {
        scenario.origin = "(none)";
        scenario.duration = sim::Seconds(3600);
    }
    if (const std::optional<sim::Ticks> duration = cli::TimeValue(o.duration)) {
        scenario.duration = *duration;
    }
    if (const std::optional<sim::Ticks> sample = cli::TimeValue(o.sample)) {
        scenario.sample = *sample;
    }
    if (const std::optional<uint64_t> seed = cli::SeedValue(o.seed)) {
        scenario.seed = *seed;
    }
    const uint64_t rows = static_cast<uint64_t>(scenario.duration / scenario.sample);
    if (rows > kMaxTraceRows) {
        throw std::runtime_error("the run would write " + std::to_string(rows) + " trace rows (duration " +
                                 sim::FormatTicks(scenario.duration) + " / sample " +
                                 sim::FormatTicks(scenario.sample) + "); a run writes " +
                                 std::to_string(kMaxTraceRows) +
                                 " at most: shorten the duration or lengthen the sample");
    }
    return scenario;
}

// The progress line on a terminal: rewritten at most once a wall second while the run goes, and once
// more, ended, when it is over.
class Progress {
public:
    explicit Progress(bool shown) : shown_(shown) {}

    void Update(sim::Ticks now, sim::Ticks end, size_t events)
    {
        const auto wall = std::chrono::steady_clock::now();
        if (shown_ && wall >= next_) {
            Print(now, end, events);
            next_ = wall + std::chrono::seconds(1);
        }
    }
    void Finish(sim::Ticks now, sim::Ticks end, size_t events)
    {
        if (shown_) {
            Print(now, end, events);
            std::fputs("\n", stderr);
        }
    }

private:
    static void Print(sim::Ticks now, sim::Ticks end, size_t events)
    {
        std::fprintf(stderr, "\r  %3d%%  %s of %s simulated, %zu events ", static_cast<int>(100 * now / end),
                     sim::FormatClock(now).c_str(), sim::FormatClock(end).c_str(), events);
    }

    bool shown_;
    std::chrono::steady_clock::time_point next_{};
};

} // namespace

CLI::App* AddRunCommand(CLI::App& app, RunOptions& o)
{
    CLI::App* run = app.add_subcommand("run", "boot the machine, play a scenario, write what the driver did");
    run->add_option("scenario", o.scenario, "scenario, a .json file (none: the board at rest)")
        ->check(CLI::ExistingFile);
    run->add_option("--config", o.config,
                    "configuration, a .reg file (default: the scenario's, else "
                    "share/quav/config/default.reg beside the binary's bin/)")
        ->check(CLI::ExistingFile);
    run->add_option("--duration", o.duration,
                    "simulated time to run: seconds or \"10m\", \"1h30m\" (default: the scenario's)")
        ->check(cli::Time(1));
    run->add_option("--sample", o.sample,
                    "time between rows of the trace, 0.1 s or more (default: the scenario's, 5)")
        ->check(cli::Time(sim::Ms(100)));
    run->add_option("--seed", o.seed, "scheduling seed, 0 to 2^63-1 (default: the scenario's, 0)")
        ->check(cli::Seed());
    run->add_option("--out", o.out_dir, "folder for the outputs");
    run->add_option("--image", o.image,
                    "run this quav.sys (the shipped image, loaded) instead of the built-in driver; "
                    "32-bit build only")
        ->check(CLI::ExistingFile);
    return run;
}

int RunScenario(const RunOptions& o)
{
    // First, so that a stop from the first instant stops the run once the machine has booted.
    InstallStopSignals();
    const Scenario scenario = LoadRun(o);
    const std::string config = !o.config.empty() ? o.config : scenario.config.value_or(DefaultConfigPath());
    SimulationOptions options;
    options.config_reg = ReadTextFile(config);
    options.config_origin = config;
    options.machine.seed = scenario.seed;
    options.board = scenario.board;
    options.power_on = scenario.power_on;
    options.image = o.image;
    Simulation simulation(options); // the configuration read: a bad one leaves no output folder behind
    const std::filesystem::path dir(o.out_dir);
    std::ofstream trace = OpenOutputs(dir);
    for (const std::string& warning : ConfigWarnings(simulation.machine().registry(), scenario.duration)) {
        std::fprintf(stderr, "quavsim: warning: %s: %s\n", config.c_str(), warning.c_str());
    }
    // The trace streams from the first publish, which may come during the start. The simulation lets go
    // of the stream on every way out, before the stream closes.
    simulation.StreamTrace(&trace);
    struct Detach {
        Simulation& simulation;
        ~Detach() { simulation.StreamTrace(nullptr); }
    } detach{simulation};
    const sim::Ticks start = sim::Now(); // the run's own start: its end is this plus the duration
    ScenarioRun run(simulation, scenario);
    const NTSTATUS status = simulation.Boot();
    // A board that cannot work may be the point of the scenario: it says how the start ends, and the run
    // goes on with whatever the driver left (the actions then meet a device that did not start).
    if (static_cast<uint32_t>(status) != scenario.start) {
        std::fprintf(stderr, "quavsim: the device's start ended with %s, not %s\n",
                     quavtools::StatusText(static_cast<uint32_t>(status)).c_str(),
                     quavtools::StatusText(scenario.start).c_str());
        return kExitError;
    }
    if (o.after_boot) {
        o.after_boot(simulation);
    }
    Progress progress(isatty(STDERR_FILENO) != 0);
    const bool complete =
        run.Run([&](sim::Ticks now,
                    sim::Ticks end) { progress.Update(now, end, simulation.machine().eventlog().Count()); },
                [] { return StopRequested(); });
    const sim::Ticks stopped = complete ? scenario.duration : sim::Now() - start;
    progress.Finish(stopped, scenario.duration, simulation.machine().eventlog().Count());
    // A second signal while the driver shuts down and the outputs are written ends the process at once.
    RestoreStopSignals();
    simulation.Shutdown();
    simulation.StreamTrace(nullptr);
    if (!trace.flush()) {
        throw std::runtime_error("cannot write " + (dir / "trace.csv").string());
    }
    const size_t reports = WriteRunOutputs(simulation, run, scenario, dir);
    std::cout
        << (complete ? ""
                     : "interrupted     at " + sim::FormatClock(stopped) + " of " +
                           sim::FormatClock(scenario.duration) +
                           " (SIGINT or SIGTERM): the outputs hold the run up to then\n")
        << "scenario        " << scenario.origin
        << (scenario.description.empty() ? "" : ": " + scenario.description) << "\n"
        << "driver          " << simulation.driver_name() << "\n"
        << "device start    " << quavtools::StatusText(static_cast<uint32_t>(status)) << "\n"
        << "configuration   " << config << "\n"
        << simulation.Summary() << run.Summary() << "outputs in      " << dir.string()
        << " (events.txt, events.jsonl, registry.reg, trace.csv, plot.svg, actions.jsonl, reports.txt)\n"
        << std::flush;
    return EndStatus(complete ? std::nullopt : std::optional<sim::Ticks>(stopped), reports, run);
}

} // namespace quavsim
