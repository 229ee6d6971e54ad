// quavsim: runs the QUAV driver on the emulated board in virtual time.
//
//   quavsim run [--config FILE.reg] [--duration SECONDS] [--out DIR]
//
// Boots the simulated machine with the configuration (examples/config/default.reg when none is given),
// lets the driver poll for the duration, and writes the event log (events.txt, events.jsonl) and the final
// registry (registry.reg) and a trace of the published readings and fan stages (trace.csv) to the output
// folder, then prints a summary.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "serve.h"
#include "simulation.h"

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"quavsim: the QUAV driver on the emulated board, in virtual time"};
    app.require_subcommand(1);
    CLI::App* run = app.add_subcommand("run", "boot the machine, let the driver run, write what it did");
    std::string config = QUAV_DEFAULT_CONFIG;
    double duration = 3600;
    std::string out_dir = "quavsim-out";
    int64_t sample = 5;
    run->add_option("--config", config, "configuration, a .reg file")->check(CLI::ExistingFile);
    run->add_option("--duration", duration, "simulated seconds to run")->check(CLI::PositiveNumber);
    run->add_option("--out", out_dir, "folder for the outputs");
    run->add_option("--sample", sample, "seconds between rows of the trace")->check(CLI::PositiveNumber);
    quavsim::ServeOptions serve_options;
    CLI::App* serve = quavsim::AddServeCommand(app, serve_options);
    CLI11_PARSE(app, argc, argv);
    if (serve->parsed()) {
        return quavsim::RunServe(serve_options);
    }

    try {
        quavsim::SimulationOptions options;
        options.config_reg = ReadFile(config);
        quavsim::Simulation simulation(options);
        const NTSTATUS status = simulation.Boot();
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "quavsim: the device did not start: status 0x%08X\n",
                         static_cast<unsigned>(status));
            return 1;
        }
        simulation.RunFor(static_cast<sim::Ticks>(duration * sim::kTicksPerSecond), sim::Seconds(sample));
        simulation.Shutdown();

        const std::filesystem::path dir(out_dir);
        std::filesystem::create_directories(dir);
        WriteFile(dir / "events.txt", simulation.machine().eventlog().Text());
        WriteFile(dir / "events.jsonl", simulation.machine().eventlog().JsonLines());
        WriteFile(dir / "registry.reg", simulation.machine().registry().ExportReg("\\REGISTRY\\Machine"));
        WriteFile(dir / "trace.csv", simulation.TraceCsv());
        std::cout << simulation.Summary() << "outputs in      " << dir.string() << "\n";
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quavsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
