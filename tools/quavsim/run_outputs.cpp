#include "run_outputs.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "errno_text.h"
#include "plot.h"
#include "run_command.h"
#include "scenario_run.h"
#include "simulation.h"
#include "status_names.h"

namespace quavsim {

namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// The platform's reports, on stderr as they are collected and one a line in reports.txt.
size_t WriteReports(Simulation& simulation, const std::filesystem::path& file,
                    const std::vector<sim::VerifierReport>& shown)
{
    std::string text;
    for (const sim::VerifierReport& r : shown) {
        text += "verifier (" + r.source + "): " + r.text + "\n";
    }
    for (const sim::VerifierReport& r : simulation.CollectReports()) {
        const std::string line = "verifier (" + r.source + "): " + r.text;
        std::fprintf(stderr, "quavsim: %s\n", line.c_str());
        text += line + "\n";
    }
    WriteFile(file, text);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

std::ofstream OpenOutputs(const std::filesystem::path& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        throw std::runtime_error("--out " + dir.string() + ": cannot make the folder: " + error.message());
    }
    std::ofstream trace(dir / "trace.csv", std::ios::binary | std::ios::trunc);
    if (!trace) {
        throw std::runtime_error(Errno("--out " + dir.string() + ": cannot write in the folder"));
    }
    return trace;
}

size_t WriteRunOutputs(Simulation& simulation, const ScenarioRun& run, const Scenario& scenario,
                       const std::filesystem::path& dir, const std::vector<sim::VerifierReport>& shown)
{
    const size_t reports = WriteReports(simulation, dir / "reports.txt", shown);
    sim::Machine& machine = simulation.machine();
    WriteFile(dir / "events.txt", machine.eventlog().Text());
    WriteFile(dir / "events.jsonl", machine.eventlog().JsonLines());
    WriteFile(dir / "registry.reg", machine.registry().ExportReg("\\REGISTRY\\Machine"));
    WriteFile(dir / "actions.jsonl", run.ResultsJsonLines());
    PlotOptions plot;
    plot.title = "quavsim: " + std::filesystem::path(scenario.origin).filename().string();
    plot.limits = ReadLimits(machine.registry());
    for (const InjectedFault& f : run.faults()) {
        plot.faults.push_back({f.time, f.text});
    }
    for (const ActionResult& r : run.results()) {
        plot.actions.push_back({r.time, r.where + " " + r.action + ": " +
                                            quavtools::StatusText(static_cast<uint32_t>(r.status)) +
                                            (r.detail.empty() ? "" : ", " + r.detail)});
    }
    WriteFile(dir / "plot.svg", PlotSvg(simulation.trace(), machine.eventlog().Records(), plot));
    return reports;
}

// How the run ended, said on stderr: stopped by a signal (at `stopped`), platform reports, actions
// the scenario did not expect, in that order.
int EndStatus(std::optional<sim::Ticks> stopped, size_t reports, const ScenarioRun& run)
{
    if (stopped) {
        std::fprintf(stderr, "quavsim: interrupted: the outputs hold the run up to %s\n",
                     sim::FormatClock(*stopped).c_str());
        return kExitInterrupted;
    }
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
