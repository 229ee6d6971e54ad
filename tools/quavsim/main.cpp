// quavsim: runs the QUAV driver on the emulated board in virtual time.
//
//   quavsim run [SCENARIO.json] [--config FILE.reg] [--duration S] [--sample S] [--seed N] [--out DIR]
//               [--image quav.sys]
//
// Boots the simulated machine with the configuration (the scenario's, else examples/config/default.reg),
// plays the scenario (none: the board at rest for an hour), and writes to the output folder the event log
// (events.txt, events.jsonl), the final registry (registry.reg), a trace of the published readings and
// fan stages (trace.csv), a plot of it with the events (plot.svg) and the outcome of each user action
// (actions.jsonl), then prints a summary. Exit status: 0, 1 for an error (a bad scenario: nothing runs;
// a device start that ended otherwise than the scenario's "start" says), 2 when an action ended with a
// status the scenario did not expect.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include <unistd.h>

#include "plot.h"
#include "scenario_run.h"
#include "serve.h"
#include "simulation.h"
#include "status_names.h"

namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

struct RunOptions {
    std::string scenario;
    std::string config;
    std::optional<double> duration;
    std::optional<double> sample;
    std::optional<uint64_t> seed;
    std::string out_dir = "quavsim-out";
    std::string image;
};

// "10:19:12" for a clock in the run.
std::string Clock(sim::Ticks t)
{
    const int64_t s = t / sim::kTicksPerSecond;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return text;
}

int Run(const RunOptions& o)
{
    // Without a scenario the board keeps its resting values for the duration.
    quavsim::Scenario scenario;
    if (!o.scenario.empty()) {
        scenario = quavsim::LoadScenario(o.scenario);
    } else {
        scenario.origin = "(none)";
        scenario.duration = sim::Seconds(3600);
    }
    if (o.duration) {
        scenario.duration = static_cast<sim::Ticks>(*o.duration * sim::kTicksPerSecond);
    }
    if (o.sample) {
        scenario.sample = static_cast<sim::Ticks>(*o.sample * sim::kTicksPerSecond);
    }
    if (o.seed) {
        scenario.seed = *o.seed;
    }
    const std::string config = !o.config.empty() ? o.config : scenario.config.value_or(QUAV_DEFAULT_CONFIG);

    quavsim::SimulationOptions options;
    options.config_reg = quavsim::ReadTextFile(config);
    options.machine.seed = scenario.seed;
    options.board = scenario.board;
    options.power_on = scenario.power_on;
    options.image = o.image;
    quavsim::Simulation simulation(options);
    quavsim::ScenarioRun run(simulation, scenario);
    const NTSTATUS status = simulation.Boot();
    // A board that cannot work may be the point of the scenario: it says how the start ends, and the run
    // goes on with whatever the driver left (the actions then meet a device that did not start).
    if (static_cast<uint32_t>(status) != scenario.start) {
        std::fprintf(stderr, "quavsim: the device's start ended with %s, not %s\n",
                     quavtools::StatusText(static_cast<uint32_t>(status)).c_str(),
                     quavtools::StatusText(scenario.start).c_str());
        return 1;
    }
    const bool tty = isatty(STDERR_FILENO) != 0;
    run.Run([&](sim::Ticks now, sim::Ticks end) {
        if (tty) {
            std::fprintf(stderr, "\r  %3d%%  %s of %s simulated, %zu events ",
                         static_cast<int>(100 * now / end), Clock(now).c_str(), Clock(end).c_str(),
                         simulation.machine().eventlog().Count());
            if (now >= end) {
                std::fputs("\n", stderr);
            }
        }
    });
    simulation.Shutdown();

    const std::filesystem::path dir(o.out_dir);
    std::filesystem::create_directories(dir);
    WriteFile(dir / "events.txt", simulation.machine().eventlog().Text());
    WriteFile(dir / "events.jsonl", simulation.machine().eventlog().JsonLines());
    WriteFile(dir / "registry.reg", simulation.machine().registry().ExportReg("\\REGISTRY\\Machine"));
    WriteFile(dir / "trace.csv", simulation.TraceCsv());
    WriteFile(dir / "actions.jsonl", run.ResultsJsonLines());
    quavsim::PlotOptions plot;
    plot.title = "quavsim: " + std::filesystem::path(scenario.origin).filename().string();
    WriteFile(dir / "plot.svg",
              quavsim::PlotSvg(simulation.trace(), simulation.machine().eventlog().Records(), plot));
    std::cout << "scenario        " << scenario.origin
              << (scenario.description.empty() ? "" : ": " + scenario.description) << "\n"
              << "driver          " << simulation.driver_name() << "\n"
              << "device start    " << quavtools::StatusText(static_cast<uint32_t>(status)) << "\n"
              << "configuration   " << config << "\n"
              << simulation.Summary() << run.Summary() << "outputs in      " << dir.string()
              << " (events.txt, events.jsonl, registry.reg, trace.csv, plot.svg, actions.jsonl)\n";
    if (run.Unexpected() != 0) {
        std::fprintf(stderr, "quavsim: %zu actions ended with a status the scenario did not expect\n",
                     run.Unexpected());
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"quavsim: the QUAV driver on the emulated board, in virtual time"};
    app.require_subcommand(1);
    CLI::App* run = app.add_subcommand("run", "boot the machine, play a scenario, write what the driver did");
    RunOptions o;
    run->add_option("scenario", o.scenario, "scenario, a .json file (none: the board at rest)")
        ->check(CLI::ExistingFile);
    run->add_option("--config", o.config,
                    "configuration, a .reg file (default: the scenario's, else "
                    "examples/config/default.reg)")
        ->check(CLI::ExistingFile);
    run->add_option("--duration", o.duration, "simulated seconds to run (default: the scenario's)")
        ->check(CLI::PositiveNumber);
    run->add_option("--sample", o.sample, "seconds between rows of the trace (default: the scenario's, 5)")
        ->check(CLI::Range(0.1, 1e9));
    run->add_option("--seed", o.seed, "scheduling seed (default: the scenario's, 0)");
    run->add_option("--out", o.out_dir, "folder for the outputs");
    run->add_option("--image", o.image,
                    "run this quav.sys (the shipped image, loaded) instead of the built-in driver; "
                    "32-bit build only")
        ->check(CLI::ExistingFile);
    quavsim::ServeOptions serve_options;
    CLI::App* serve = quavsim::AddServeCommand(app, serve_options);
    CLI11_PARSE(app, argc, argv);
    if (serve->parsed()) {
        return quavsim::RunServe(serve_options);
    }

    try {
        return Run(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return 1;
    }
}
