#include "run_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <unistd.h>

#include "cli_numbers.h"
#include "run_outputs.h"
#include "scenario_run.h"
#include "simulation.h"
#include "status_names.h"

namespace quavsim {

namespace {

// "10:19:12" for a clock in the run.
std::string Clock(sim::Ticks t)
{
    const int64_t s = t / sim::kTicksPerSecond;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return text;
}

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

void ShowProgress(sim::Ticks now, sim::Ticks end, size_t events)
{
    std::fprintf(stderr, "\r  %3d%%  %s of %s simulated, %zu events ", static_cast<int>(100 * now / end),
                 Clock(now).c_str(), Clock(end).c_str(), events);
    if (now >= end) {
        std::fputs("\n", stderr);
    }
}

} // namespace

CLI::App* AddRunCommand(CLI::App& app, RunOptions& o)
{
    CLI::App* run = app.add_subcommand("run", "boot the machine, play a scenario, write what the driver did");
    run->add_option("scenario", o.scenario, "scenario, a .json file (none: the board at rest)")
        ->check(CLI::ExistingFile);
    run->add_option("--config", o.config,
                    "configuration, a .reg file (default: the scenario's, else "
                    "examples/config/default.reg)")
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
    const Scenario scenario = LoadRun(o);
    const std::string config = !o.config.empty() ? o.config : scenario.config.value_or(QUAV_DEFAULT_CONFIG);
    SimulationOptions options;
    options.config_reg = ReadTextFile(config);
    options.config_origin = config;
    options.machine.seed = scenario.seed;
    options.board = scenario.board;
    options.power_on = scenario.power_on;
    options.image = o.image;
    Simulation simulation(options);
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
    const std::filesystem::path dir(o.out_dir);
    std::filesystem::create_directories(dir);
    std::ofstream trace(dir / "trace.csv", std::ios::binary);
    simulation.StreamTrace(&trace);
    const bool tty = isatty(STDERR_FILENO) != 0;
    run.Run([&](sim::Ticks now, sim::Ticks end) {
        if (tty) {
            ShowProgress(now, end, simulation.machine().eventlog().Count());
        }
    });
    simulation.Shutdown();
    simulation.StreamTrace(nullptr);
    if (!trace.flush()) {
        throw std::runtime_error("cannot write " + (dir / "trace.csv").string());
    }
    const size_t reports = WriteRunOutputs(simulation, run, scenario, dir);
    std::cout
        << "scenario        " << scenario.origin
        << (scenario.description.empty() ? "" : ": " + scenario.description) << "\n"
        << "driver          " << simulation.driver_name() << "\n"
        << "device start    " << quavtools::StatusText(static_cast<uint32_t>(status)) << "\n"
        << "configuration   " << config << "\n"
        << simulation.Summary() << run.Summary() << "outputs in      " << dir.string()
        << " (events.txt, events.jsonl, registry.reg, trace.csv, plot.svg, actions.jsonl, reports.txt)\n"
        << std::flush;
    if (reports != 0) {
        std::fprintf(stderr, "quavsim: the platform reported %zu misuses\n", reports);
        return kExitMisuse;
    }
    if (run.Unexpected() != 0) {
        std::fprintf(stderr, "quavsim: %zu actions ended with a status the scenario did not expect\n",
                     run.Unexpected());
        return kExitUnexpected;
    }
    return kExitSuccess;
}

} // namespace quavsim
