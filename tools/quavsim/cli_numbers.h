// The numbers on quavsim's command line, each checked against its real range and unit before anything
// runs: validators for CLI11 whose message says what the option takes, and the conversions that follow.
// Times are written as in scenarios ("90s", "15m", "1h30m", or seconds) and stay within the range
// scenarios allow, below 10^9 s, far inside the simulated clock's.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "sim/sim.h"

namespace quavsim::cli {

// A time of at least `min` (in ticks; 0 admits "0").
CLI::Validator Time(sim::Ticks min);
// A scheduling seed: a decimal integer from 0 to 2^63 - 1, as a scenario's "seed".
CLI::Validator Seed();
// A real number from `min` to `max`, written plainly ("2", "0.5", "1e3"); never nan or infinity.
CLI::Validator Real(double min, double max);

// The values of options the validators passed; nothing for an option not given.
std::optional<sim::Ticks> TimeValue(const std::string& text);
std::optional<uint64_t> SeedValue(const std::string& text);
std::optional<double> RealValue(const std::string& text);

} // namespace quavsim::cli
