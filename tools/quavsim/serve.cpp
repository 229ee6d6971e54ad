#include "serve.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <system_error>

#include "platform.h"
#include "protocol.h"
#include "sim/sim.h"
#include "simulation.h"
#include "socket_server.h"
#include "stop_signals.h"

namespace quavsim {

CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options)
{
    CLI::App* serve = app.add_subcommand(
        "serve", "boot the machine in real time and serve its device to quavctl on a Unix-domain socket");
    options.config = QUAV_DEFAULT_CONFIG;
    serve->add_option("--config", options.config, "configuration, a .reg file")->check(CLI::ExistingFile);
    serve->add_option("--speed", options.speed, "simulated seconds per host second")
        ->check(CLI::PositiveNumber);
    serve->add_option(
        "--socket", options.socket_path,
        "socket path (default $XDG_RUNTIME_DIR/quavsim/quav.sock, else /tmp/quavsim-UID/quav.sock)");
    serve
        ->add_option("--duration", options.duration,
                     "stop after this many simulated seconds (default: at a signal)")
        ->check(CLI::NonNegativeNumber);
    serve->add_option("--image", options.image, "serve this quav.sys, loaded, instead of the built-in driver")
        ->check(CLI::ExistingFile);
    return serve;
}

int RunServe(const ServeOptions& options)
{
    std::optional<Server> server;
    std::optional<Simulation> simulation;
    NTSTATUS boot = STATUS_UNSUCCESSFUL;
    try {
        SimulationOptions simulation_options;
        simulation_options.config_reg = ReadTextFile(options.config);
        simulation_options.machine.mode = sim::TimeMode::RealTime;
        simulation_options.machine.real_time_scale = options.speed;
        simulation_options.image = options.image;
        server.emplace(options.socket_path.empty() ? quavproto::DefaultSocketPath() : options.socket_path);
        InstallStopSignals();
        simulation.emplace(simulation_options);
        boot = simulation->Boot();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return 1;
    }
    if (!NT_SUCCESS(boot)) {
        std::fprintf(stderr, "quavsim: the device did not start: status 0x%08X\n",
                     static_cast<unsigned>(boot));
        return 1;
    }

    try {
        server->Start();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "quavsim: cannot start the thread that accepts connections: %s\n", e.what());
        server.reset();
        simulation->Shutdown();
        return 1;
    }
    std::cout << "quavsim: serving " << server->path() << " (speed " << options.speed << ", until "
              << (options.duration > 0 ? std::to_string(options.duration) + " simulated seconds or " : "")
              << "SIGINT/SIGTERM)" << std::endl;
    WaitForStop(options.duration, options.speed);
    RestoreStopSignals();
    {
        sim::OutsideSimulation outside;
        server->Stop();
    }
    const NTSTATUS removal = simulation->Shutdown();
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
        return 1;
    }
    return 0;
}

} // namespace quavsim
