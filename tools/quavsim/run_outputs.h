// What a run leaves in its output folder, for `quavsim run` and `quavsim serve --out` alike: the event log
// (events.txt, events.jsonl), the final registry (registry.reg), the outcome of each user action
// (actions.jsonl), a plot of the trace with the events (plot.svg) and the platform's reports of misuse
// (reports.txt, also printed on stderr). trace.csv is streamed as the run goes (Simulation::StreamTrace).
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "sim/time.h"
#include "sim/verifier.h"

namespace quavsim {

class ScenarioRun;
class Simulation;
struct Scenario;

// Creates the folder and opens trace.csv in it, before anything runs, so that a long run is not lost to
// a folder it cannot write. Throws std::runtime_error naming the folder.
std::ofstream OpenOutputs(const std::filesystem::path& dir);

// Writes the outputs once the run has ended and the device is gone; returns how many reports of misuse
// the platform made: `shown`, already printed, and those it collects now and prints on stderr. Throws
// std::runtime_error naming a file it cannot write.
size_t WriteRunOutputs(Simulation& simulation, const ScenarioRun& run, const Scenario& scenario,
                       const std::filesystem::path& dir, const std::vector<sim::VerifierReport>& shown = {});

// The exit status of a run or a serve, said on stderr: stopped by a signal (at `stopped`: run only),
// platform reports, actions the scenario did not expect, in that order.
int EndStatus(std::optional<sim::Ticks> stopped, size_t reports, const ScenarioRun& run);

} // namespace quavsim
