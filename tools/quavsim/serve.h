// quavsim serve: the simulated machine running in real time (optionally scaled), its device reachable by
// other programs of the same user through a Unix-domain socket, as a user-mode program reaches the
// driver's device on the real system. The protocol is in tools/common/protocol.h; the requests are
// carried out by serve_session.h, the socket is socket_server.h's.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace quavsim {

struct ServeOptions {
    std::string config; // .reg file
    double speed = 1.0;
    std::string socket_path;
    double duration = 0; // simulated seconds; 0: until SIGINT or SIGTERM
    std::string image;   // a built quav.sys to serve instead of the built-in driver (32-bit build)
};

// Adds the `serve` subcommand with its options to quavsim's command line.
CLI::App* AddServeCommand(CLI::App& app, ServeOptions& options);
// Boots, serves, shuts the driver down and prints the summary; the process's exit code.
int RunServe(const ServeOptions& options);

} // namespace quavsim
