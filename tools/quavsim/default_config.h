// Where quavsim finds its default configuration (default.reg) when neither --config nor the scenario
// names one: beside the running binary first, so that an installed or copied tree works wherever it is
// put, then in the source tree a build-tree binary was built from.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quavsim {

// The places looked in, in order, for the binary at `exe`: <exe's dir>/../share/quav/config/default.reg
// (the install layout), then the source tree's examples/config/default.reg (compiled in).
std::vector<std::filesystem::path> DefaultConfigCandidates(const std::filesystem::path& exe);

// The first of the candidates for the running binary (/proc/self/exe) that exists; when none does, the
// install location, so that the error that follows names where the file belongs.
std::string DefaultConfigPath();

} // namespace quavsim
