// The registry's tree, shared by its API (registry.cpp) and the .reg text format (registry_regfile.cpp).
// Names are found with ASCII folding and keep the spelling they were created with; callers hold the
// registry's lock.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "registry.h"
#include "text.h"

namespace sim {

// A key's components below "\REGISTRY": {"Machine", "SYSTEM", "CurrentControlSet"}.
using RegistryPath = std::vector<std::string>;

// Names hashed and compared with ASCII letters folded, looked up by a string_view without a copy.
struct FoldedNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
};
struct FoldedNameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const
    {
        return a == b || SameName(a, b); // the same spelling, most often
    }
};
// A name's position in its key's list.
using NameIndex = std::unordered_map<std::string, size_t, FoldedNameHash, FoldedNameEqual>;

// Subkeys and values stay in creation order, the order the export writes; each list has an index by
// folded name beside it, so that a lookup costs one hash of the name whatever the key holds.
struct RegistryKey {
    std::string name;
    std::vector<std::unique_ptr<RegistryKey>> subkeys;
    std::vector<std::pair<std::string, Registry::Value>> values;
    NameIndex subkey_index;
    NameIndex value_index;

    RegistryKey* SubKey(std::string_view sub) const;
    RegistryKey* AddSubKey(std::string sub);
    bool RemoveSubKey(std::string_view sub); // with everything under it
    // The key `count` components down `path`, or null where one is missing.
    RegistryKey* Walk(const RegistryPath& path, size_t count);
    Registry::Value* FindValue(std::string_view value_name);
    // An existing value keeps the spelling of its name, as a rewritten value does on Windows.
    void Store(std::string_view value_name, Registry::Value value);
    // The same from raw bytes, reusing the stored value's buffer: no allocation when it is large enough.
    void Store(std::string_view value_name, uint32_t type, std::span<const uint8_t> data);
    bool RemoveValue(std::string_view value_name);
};

// The backslash-separated parts of a path; empty parts are kept for the caller to refuse.
std::vector<std::string_view> PathParts(std::string_view path);

// The components below "\REGISTRY" ({} for the root itself), or nothing when the path is not a
// registry path or has an empty component.
std::optional<RegistryPath> SplitRegistryPath(std::string_view path);

} // namespace sim
