// quavsim: runs the QUAV driver on the emulated board in virtual time.
//
//   quavsim run [SCENARIO.json] [--config FILE.reg] [--duration TIME] [--sample TIME] [--seed N]
//               [--out DIR] [--image quav.sys]
//   quavsim serve [SCENARIO.json] [--config FILE.reg] [--speed X] [--duration TIME] [--socket PATH]
//                 [--out DIR] [--image quav.sys]
//
// run plays a scenario in virtual time and writes what the driver did (run_command.h); serve plays it in
// real time while quavctl reaches the device (serve.h). Exit status: 0 success; 1 an error or bad input (the
// command line, the configuration, the scenario: nothing runs; a device start that ended otherwise than
// the scenario's "start" says); 2 an action ended with a status the scenario did not expect; 3 the
// platform reported a misuse (the outputs are written first); 130 a run stopped by SIGINT or SIGTERM (the
// outputs and the summary hold the run up to then).
#include <CLI/CLI.hpp>

#include <cstdio>

#include "run_command.h"
#include "serve.h"

int main(int argc, char** argv)
{
    CLI::App app{"quavsim: the QUAV driver on the emulated board, in virtual time"};
    app.name("quavsim");
    app.require_subcommand(1);
    app.set_version_flag("--version", "quavsim " QUAV_VERSION_TEXT);
    app.footer("Exit status: 0 done; 1 a wrong command line, configuration or scenario, or a device start\n"
               "other than the scenario says; 2 an action ended otherwise than the scenario expected; 3 the\n"
               "platform reported a misuse of the kernel's interfaces; 130 run stopped by SIGINT or SIGTERM\n"
               "(the outputs hold the run up to then).");
    quavsim::RunOptions run_options;
    quavsim::AddRunCommand(app, run_options);
    quavsim::ServeOptions serve_options;
    CLI::App* serve = quavsim::AddServeCommand(app, serve_options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // CLI11 prints the message (or the help, which succeeds); every usage error is status 1.
        return app.exit(e) == 0 ? quavsim::kExitSuccess : quavsim::kExitError;
    }
    try {
        return serve->parsed() ? quavsim::RunServe(serve_options) : quavsim::RunScenario(run_options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return quavsim::kExitError;
    }
}
