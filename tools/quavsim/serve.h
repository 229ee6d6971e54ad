// quavsim serve: the simulated machine running in real time (optionally scaled), its device reachable by
// other programs of the same user through a Unix-domain socket, as a user-mode program reaches the
// driver's device on the real system. The protocol is in tools/common/protocol.h; the requests are
// carried out by serve_session.h, the socket is socket_server.h's.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace quavsim {

class Simulation;

struct ServeOptions {
    std::string config; // .reg file
    // The numbers as the command line gives them, checked by its validators (cli_numbers.h).
    std::string speed = "1"; // simulated seconds per host second, from kMinSpeed to kMaxSpeed
    std::string socket_path;
    std::string duration = "0"; // simulated time; 0: until SIGINT or SIGTERM
    std::string image;          // a built quav.sys to serve instead of the built-in driver (32-bit build)
    // Called once the device has started, before serving (tests use it to reach the machine).
    std::function<void(Simulation&)> after_boot;
};

// The simulated clock counts 100 ns ticks in 63 bits: at a million simulated seconds per host second it
// lasts ten days of serving. Below a thousandth, the driver's start (a few simulated seconds at most)
// would take hours.
constexpr double kMinSpeed = 1e-3;
constexpr double kMaxSpeed = 1e6;

// Adds the `serve` subcommand with its options to quavsim's command line.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options);
// Boots, serves, shuts the driver down and prints the summary with the platform's reports; the process's
// exit code (run_command.h's: 3 when the platform reported a misuse). SIGINT and SIGTERM stop it from the
// first instant: a stop that comes while the machine boots ends the run once the boot is done, without
// serving.
int RunServe(const ServeOptions& options);

} // namespace quavsim
