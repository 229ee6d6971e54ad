// quavsim serve: the simulated machine running in real time (optionally scaled), its device reachable by
// other programs of the same user through a Unix-domain socket, as a user-mode program reaches the
// driver's device on the real system. The protocol is in tools/common/protocol.h; the requests are
// carried out by serve_session.h, the socket is socket_server.h's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace quavsim {

class Simulation;
struct Scenario;

struct ServeOptions {
    std::string scenario; // played on the real-time clock; empty: the default room (DefaultRoom)
    std::string config;   // .reg file; empty: the scenario's, else the example configuration
    // The numbers as the command line gives them, checked by its validators (cli_numbers.h).
    std::string speed = "1"; // simulated seconds per host second, from kMinSpeed to kMaxSpeed
    std::string socket_path;
    std::string duration; // simulated time; empty: the scenario's; 0 or no scenario: until SIGINT or SIGTERM
    std::string out_dir;  // written as `quavsim run` writes its outputs when serving ends; empty: none
    std::string image;    // a built quav.sys to serve instead of the built-in driver (32-bit build)
    // Called once the device has started, before serving (tests use it to reach the machine).
    std::function<void(Simulation&)> after_boot;
};

// The simulated clock counts 100 ns ticks in 63 bits: at a million simulated seconds per host second it
// lasts ten days of serving. Below a thousandth, the driver's start (a few simulated seconds at most)
// would take hours.
constexpr double kMinSpeed = 1e-3;
constexpr double kMaxSpeed = 1e6;
// Serving without an end: half the clock's range, which no serve reaches.
constexpr int64_t kServeForever = INT64_MAX / 2;

// What serve plays without a scenario: a room at 25 degrees C and a light load on the processor, so that
// the temperatures and the fans follow the driver's PWM (a fan set to 0 stops), until a stop signal.
Scenario DefaultRoom();

// Adds the `serve` subcommand with its options to quavsim's command line.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options);
// Boots, plays the scenario while serving, shuts the driver down, writes the outputs (--out) and prints
// the summary with the platform's reports; the process's exit code (run_command.h's: 2 when an action
// of the scenario ended otherwise than it expected, 3 when the platform reported a misuse). The
// scenario's end (its duration, or --duration) ends serving; SIGINT and SIGTERM stop it from the first
// instant: a stop that comes while the machine boots ends the run once the boot is done, without serving.
int RunServe(const ServeOptions& options);

} // namespace quavsim
