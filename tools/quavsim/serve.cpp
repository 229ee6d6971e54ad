#include "serve.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <system_error>

#include "cli_numbers.h"
#include "config_check.h"
#include "default_config.h"
#include "platform.h"
#include "protocol.h"
#include "run_command.h"
#include "sim/sim.h"
#include "simulation.h"
#include "socket_server.h"
#include "stop_signals.h"

namespace quavsim {

CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options)
{
    CLI::App* serve = app.add_subcommand(
        "serve", "boot the machine in real time and serve its device to quavctl on a Unix-domain socket");
    options.config = DefaultConfigPath();
    serve->add_option("--config", options.config, "configuration, a .reg file")->check(CLI::ExistingFile);
    serve->add_option("--speed", options.speed, "simulated seconds per host second, 0.001 to 1e6")
        ->check(cli::Real(kMinSpeed, kMaxSpeed));
    serve->add_option(
        "--socket", options.socket_path,
        "socket path (default $XDG_RUNTIME_DIR/quavsim/quav.sock, else /tmp/quavsim-UID/quav.sock)");
    serve
        ->add_option(
            "--duration", options.duration,
            "stop after this much simulated time: seconds or \"10m\", \"1h30m\" (default: at a signal)")
        ->check(cli::Time(0));
    serve->add_option("--image", options.image, "serve this quav.sys, loaded, instead of the built-in driver")
        ->check(CLI::ExistingFile);
    return serve;
}

namespace {

// The platform's reports on stderr, as they are collected; how many.
size_t PrintReports(Simulation& simulation)
{
    const std::vector<sim::VerifierReport> reports = simulation.CollectReports();
    for (const sim::VerifierReport& r : reports) {
        std::fprintf(stderr, "quavsim: verifier (%s): %s\n", r.source.c_str(), r.text.c_str());
    }
    return reports.size();
}

} // namespace

int RunServe(const ServeOptions& options)
{
    const double speed = cli::RealValue(options.speed).value_or(1.0);
    const double duration =
        static_cast<double>(cli::TimeValue(options.duration).value_or(0)) / sim::kTicksPerSecond;
    std::optional<Server> server;
    std::optional<Simulation> simulation;
    NTSTATUS boot = STATUS_UNSUCCESSFUL;
    try {
        // Before anything that takes time, so that a signal from the first instant stops the server.
        InstallStopSignals();
        SimulationOptions simulation_options;
        simulation_options.config_reg = ReadTextFile(options.config);
        simulation_options.config_origin = options.config;
        simulation_options.machine.mode = sim::TimeMode::RealTime;
        simulation_options.machine.real_time_scale = speed;
        simulation_options.image = options.image;
        server.emplace(options.socket_path.empty() ? quavproto::DefaultSocketPath() : options.socket_path);
        simulation.emplace(simulation_options);
        for (const std::string& warning : ConfigWarnings(simulation->machine().registry(), std::nullopt)) {
            std::fprintf(stderr, "quavsim: warning: %s: %s\n", options.config.c_str(), warning.c_str());
        }
        boot = simulation->Boot();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return kExitError;
    }
    if (!NT_SUCCESS(boot)) {
        std::fprintf(stderr, "quavsim: the device did not start: status 0x%08X\n",
                     static_cast<unsigned>(boot));
        PrintReports(*simulation);
        return kExitError;
    }
    if (options.after_boot) {
        options.after_boot(*simulation);
    }
    size_t reports = PrintReports(*simulation);
    if (!StopRequested()) {
        try {
            server->Start();
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "quavsim: cannot start the thread that accepts connections: %s\n", e.what());
            server.reset();
            simulation->Shutdown();
            return kExitError;
        }
        std::cout << "quavsim: serving " << server->path() << " (speed " << speed << ", until "
                  << (duration > 0 ? std::to_string(duration) + " simulated seconds or " : "")
                  << "SIGINT/SIGTERM)" << std::endl;
        WaitForStop(duration, speed);
    }
    RestoreStopSignals();
    {
        sim::OutsideSimulation outside;
        server->Stop();
    }
    const NTSTATUS removal = simulation->Shutdown();
    reports += PrintReports(*simulation);
    const ServerStats stats = server->stats();
    server.reset();
    std::cout << "quavsim: stopped\n"
              << "driver          " << simulation->driver_name() << "\n"
              << simulation->Summary() << "connections     " << stats.connections << " (" << stats.refused
              << " refused), " << stats.requests << " requests\n"
              << std::flush;
    if (!NT_SUCCESS(removal)) {
        std::fprintf(stderr, "quavsim: the removal of the device failed: status 0x%08X\n",
                     static_cast<unsigned>(removal));
        return kExitError;
    }
    return reports != 0 ? kExitMisuse : kExitSuccess;
}

} // namespace quavsim
