// What a configuration will make of a run, told before it starts: values with which the driver behaves
// as its configuration says, but the run is slow or tells nothing (no wait between polls, limits every
// reading crosses, a fan table that stops the fans). The driver is not changed: it reads every value
// unchecked, an absent one as 0.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/registry.h"
#include "sim/time.h"

namespace quavsim {

// One sentence a finding, naming the value; `duration`, when known, is the run's length.
std::vector<std::string> ConfigWarnings(const sim::Registry& registry, std::optional<sim::Ticks> duration);

} // namespace quavsim
