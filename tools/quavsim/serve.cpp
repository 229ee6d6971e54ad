#include "serve.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <iostream>
#include <optional>
#include <system_error>

#include "cli_numbers.h"
#include "config_check.h"
#include "default_config.h"
#include "platform.h"
#include "protocol.h"
#include "run_command.h"
#include "run_outputs.h"
#include "scenario.h"
#include "scenario_run.h"
#include "sim/sim.h"
#include "simulation.h"
#include "socket_server.h"
#include "status_names.h"
#include "stop_signals.h"

namespace quavsim {

Scenario DefaultRoom()
{
    Scenario room;
    room.origin = "(none: the default room)";
    room.description = "25 degrees C, a light load on the processor";
    room.duration = kServeForever;
    PlantOptions plant;
    plant.ambient.points = {{0, 25, false}};
    plant.heat.points = {{0, 15, false}};
    room.plant = plant;
    return room;
}

CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options)
{
    CLI::App* serve = app.add_subcommand(
        "serve", "boot the machine in real time, play a scenario (none: a room at 25 degrees C) and serve "
                 "its device to quavctl on a Unix-domain socket");
    serve->add_option("scenario", options.scenario, "scenario, a .json file, played on the real-time clock")
        ->check(CLI::ExistingFile);
    serve
        ->add_option("--config", options.config,
                     "configuration, a .reg file (default: the scenario's, else "
                     "share/quav/config/default.reg beside the binary's bin/)")
        ->check(CLI::ExistingFile);
    serve->add_option("--speed", options.speed, "simulated seconds per host second, 0.001 to 1e6")
        ->check(cli::Real(kMinSpeed, kMaxSpeed));
    serve->add_option(
        "--socket", options.socket_path,
        "socket path (default $XDG_RUNTIME_DIR/quavsim/quav.sock, else /tmp/quavsim-UID/quav.sock)");
    serve
        ->add_option("--duration", options.duration,
                     "stop after this much simulated time: seconds or \"10m\", \"1h30m\"; 0: at a signal "
                     "(default: the scenario's end, else at a signal)")
        ->check(cli::Time(0));
    serve->add_option("--out", options.out_dir,
                      "folder for the outputs `run` writes, written when serving ends");
    serve->add_option("--image", options.image, "serve this quav.sys, loaded, instead of the built-in driver")
        ->check(CLI::ExistingFile);
    return serve;
}

namespace {

// The platform's reports on stderr, as they are collected; kept for reports.txt.
size_t PrintReports(Simulation& simulation, std::vector<sim::VerifierReport>* shown)
{
    const std::vector<sim::VerifierReport> reports = simulation.CollectReports();
    for (const sim::VerifierReport& r : reports) {
        std::fprintf(stderr, "quavsim: verifier (%s): %s\n", r.source.c_str(), r.text.c_str());
    }
    shown->insert(shown->end(), reports.begin(), reports.end());
    return reports.size();
}

// The scenario served, with the command line's duration.
Scenario ServedScenario(const ServeOptions& options)
{
    Scenario scenario = options.scenario.empty() ? DefaultRoom() : LoadScenario(options.scenario);
    if (const std::optional<sim::Ticks> duration = cli::TimeValue(options.duration)) {
        scenario.duration = *duration > 0 ? *duration : kServeForever;
    }
    return scenario;
}

SimulationOptions MachineFor(const ServeOptions& options, const Scenario& scenario)
{
    const std::string config =
        !options.config.empty() ? options.config : scenario.config.value_or(DefaultConfigPath());
    SimulationOptions machine;
    machine.config_reg = ReadTextFile(config);
    machine.config_origin = config;
    machine.machine.mode = sim::TimeMode::RealTime;
    machine.machine.real_time_scale = cli::RealValue(options.speed).value_or(1.0);
    machine.machine.seed = scenario.seed;
    machine.board = scenario.board;
    machine.power_on = scenario.power_on;
    machine.image = options.image;
    return machine;
}

// Whether the device started as the scenario says it does (by default: it started).
bool StartedAsExpected(NTSTATUS boot, const Scenario& scenario)
{
    const uint32_t status = static_cast<uint32_t>(boot);
    if (status == scenario.start) {
        return true;
    }
    if (scenario.start == STATUS_SUCCESS) {
        std::fprintf(stderr, "quavsim: the device did not start: status 0x%08X\n", status);
    } else {
        std::fprintf(stderr, "quavsim: the device's start ended with %s, not %s\n",
                     quavtools::StatusText(status).c_str(), quavtools::StatusText(scenario.start).c_str());
    }
    return false;
}

// Serves until a stop signal or the scenario's end; false when the server could not start.
bool Serve(Server& server, ScenarioRun& run, const Scenario& scenario, double speed)
{
    try {
        server.Start();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "quavsim: cannot start the thread that accepts connections: %s\n", e.what());
        return false;
    }
    const double duration = static_cast<double>(scenario.duration) / sim::kTicksPerSecond;
    std::cout << "quavsim: serving " << server.path() << " (speed " << speed << ", until "
              << (scenario.duration < kServeForever ? std::to_string(duration) + " simulated seconds or "
                                                    : "")
              << "SIGINT/SIGTERM)" << std::endl;
    // The scenario plays on a thread of its own while this one waits for a signal outside the simulation.
    PKTHREAD player = sim::StartThread("scenario", [&run] {
        run.Run();
        RequestStop();
    });
    WaitForStop(0, speed);
    run.Stop();
    sim::JoinThread(player);
    return true;
}

// After the removal: the outputs (--out), the summary and the exit status.
int Finish(const ServeOptions& options, Simulation& simulation, const ScenarioRun& run,
           const Scenario& scenario, const ServerStats& stats, NTSTATUS removal,
           std::vector<sim::VerifierReport> shown, std::ofstream& trace)
{
    simulation.StreamTrace(nullptr);
    size_t reports = shown.size();
    int status = kExitSuccess;
    try {
        if (!options.out_dir.empty()) {
            if (!trace.flush()) {
                throw std::runtime_error("cannot write " +
                                         (std::filesystem::path(options.out_dir) / "trace.csv").string());
            }
            reports = WriteRunOutputs(simulation, run, scenario, options.out_dir, shown);
        } else {
            reports += PrintReports(simulation, &shown);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        status = kExitError;
    }
    std::cout << "quavsim: stopped\n"
              << "scenario        " << scenario.origin
              << (scenario.description.empty() ? "" : ": " + scenario.description) << "\n"
              << "driver          " << simulation.driver_name() << "\n"
              << simulation.Summary() << run.Summary() << "connections     " << stats.connections << " ("
              << stats.refused << " refused), " << stats.requests << " requests\n"
              << (options.out_dir.empty() ? "" : "outputs in      " + options.out_dir + "\n") << std::flush;
    if (!NT_SUCCESS(removal)) {
        std::fprintf(stderr, "quavsim: the removal of the device failed: status 0x%08X\n",
                     static_cast<unsigned>(removal));
        return kExitError;
    }
    if (status != kExitSuccess) {
        return status;
    }
    return EndStatus(std::nullopt, reports, run);
}

} // namespace

int RunServe(const ServeOptions& options)
{
    const double speed = cli::RealValue(options.speed).value_or(1.0);
    Scenario scenario;
    std::optional<Server> server;
    std::optional<Simulation> simulation;
    std::optional<ScenarioRun> run;
    std::ofstream trace;
    NTSTATUS boot = STATUS_UNSUCCESSFUL;
    try {
        // Before anything that takes time, so that a signal from the first instant stops the server.
        InstallStopSignals();
        scenario = ServedScenario(options);
        if (!options.out_dir.empty()) {
            trace = OpenOutputs(options.out_dir);
        }
        const SimulationOptions machine = MachineFor(options, scenario);
        server.emplace(options.socket_path.empty() ? quavproto::DefaultSocketPath() : options.socket_path);
        simulation.emplace(machine);
        for (const std::string& warning : ConfigWarnings(simulation->machine().registry(), std::nullopt)) {
            std::fprintf(stderr, "quavsim: warning: %s: %s\n", machine.config_origin.c_str(),
                         warning.c_str());
        }
        run.emplace(*simulation, scenario);
        boot = simulation->Boot();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return kExitError;
    }
    std::vector<sim::VerifierReport> shown;
    if (!StartedAsExpected(boot, scenario)) {
        PrintReports(*simulation, &shown);
        return kExitError;
    }
    if (options.after_boot) {
        options.after_boot(*simulation);
    }
    PrintReports(*simulation, &shown);
    simulation->StreamTrace(trace.is_open() ? &trace : nullptr);
    if (!StopRequested() && !Serve(*server, *run, scenario, speed)) {
        server.reset();
        simulation->Shutdown();
        return kExitError;
    }
    RestoreStopSignals();
    {
        sim::OutsideSimulation outside;
        server->Stop();
    }
    const NTSTATUS removal = simulation->Shutdown();
    const ServerStats stats = server->stats();
    server.reset();
    return Finish(options, *simulation, *run, scenario, stats, removal, std::move(shown), trace);
}

} // namespace quavsim
