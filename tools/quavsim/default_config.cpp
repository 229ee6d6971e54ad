#include "default_config.h"

#include <system_error>

namespace quavsim {

std::vector<std::filesystem::path> DefaultConfigCandidates(const std::filesystem::path& exe)
{
    std::vector<std::filesystem::path> candidates;
    if (!exe.empty()) {
        candidates.push_back((exe.parent_path() / QUAV_CONFIG_FROM_BIN).lexically_normal());
    }
    candidates.emplace_back(QUAV_DEFAULT_CONFIG);
    return candidates;
}

std::string DefaultConfigPath()
{
    // The kernel's link names the binary itself, symbolic links resolved: a link to an installed quavsim
    // in another bin/ still finds the tree the binary belongs to.
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::vector<std::filesystem::path> candidates = DefaultConfigCandidates(error ? "" : exe);
    for (const std::filesystem::path& candidate : candidates) {
        if (std::filesystem::is_regular_file(candidate, error)) {
            return candidate.string();
        }
    }
    return candidates.front().string();
}

} // namespace quavsim
