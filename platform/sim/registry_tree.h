// The registry's tree, shared by its API (registry.cpp) and the .reg text format (registry_regfile.cpp).
// Names are found with ASCII folding and keep the spelling they were created with; callers hold the
// registry's lock.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry.h"

namespace sim {

// A key's components below "\REGISTRY": {"Machine", "SYSTEM", "CurrentControlSet"}.
using RegistryPath = std::vector<std::string>;

struct RegistryKey {
    std::string name;
    std::vector<std::unique_ptr<RegistryKey>> subkeys;
    std::vector<std::pair<std::string, Registry::Value>> values;

    RegistryKey* SubKey(std::string_view sub) const;
    RegistryKey* AddSubKey(std::string sub);
    // The key `count` components down `path`, or null where one is missing.
    RegistryKey* Walk(const RegistryPath& path, size_t count);
    Registry::Value* FindValue(std::string_view value_name);
    // An existing value keeps the spelling of its name, as a rewritten value does on Windows.
    void Store(std::string_view value_name, Registry::Value value);
    bool RemoveValue(std::string_view value_name);
};

// The backslash-separated parts of a path; empty parts are kept for the caller to refuse.
std::vector<std::string_view> PathParts(std::string_view path);

// The components below "\REGISTRY" ({} for the root itself), or nothing when the path is not a
// registry path or has an empty component.
std::optional<RegistryPath> SplitRegistryPath(std::string_view path);

} // namespace sim
