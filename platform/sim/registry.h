// The simulated registry: a tree of keys under "\REGISTRY" holding typed values, reached by the driver
// through RtlQueryRegistryValues / RtlWriteRegistryValue and by tests and tools through the API below.
//
// Paths are in kernel form, UTF-8: "\REGISTRY\Machine\System\CurrentControlSet\Services\QUAV". Key and
// value names compare case-insensitively (ASCII folding) and keep the spelling they were created with.
// Values keep their type and raw bytes; strings are stored as Windows stores them, UTF-16LE with a
// terminating NUL. The empty value name is the key's default value. Subkeys and values are listed in
// creation order. The root and its two hives, "\REGISTRY\Machine" and "\REGISTRY\User", always exist
// and are the only keys directly under the root, so that every key has a .reg spelling.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace sim {

// A .reg text that cannot be imported. The message names the line and what is wrong with it.
class RegFileError : public std::runtime_error {
public:
    explicit RegFileError(const std::string& message, int line = 0) : std::runtime_error(message), line_(line)
    {
    }
    int line() const { return line_; } // 0 when the error concerns no line (an unreadable file)

private:
    int line_ = 0;
};

struct RegistryKey; // the tree's node (registry_tree.h)

// The deepest key the registry holds, counted in components below "\REGISTRY" (the hive is the first):
// Windows' configuration manager refuses keys past 512 levels.
constexpr size_t kMaxKeyDepth = 512;

class Registry {
public:
    struct Value {
        uint32_t type = REG_NONE;
        std::vector<uint8_t> data;
        friend bool operator==(const Value&, const Value&) = default;
    };

    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Creators throw std::invalid_argument on a path that is not below "\REGISTRY", has an empty
    // component or is deeper than kMaxKeyDepth; readers take such a path as missing. The setters create the
    // key and its parents.
    void CreateKey(std::string_view path);
    bool DeleteKey(std::string_view path); // with its subkeys; false when missing. The hives stay.
    bool KeyExists(std::string_view path) const;
    void SetValue(std::string_view path, std::string_view name, uint32_t type, std::vector<uint8_t> data);
    void SetDword(std::string_view path, std::string_view name, uint32_t value);
    void SetString(std::string_view path, std::string_view name, std::string_view utf8); // REG_SZ
    bool DeleteValue(std::string_view path, std::string_view name);
    std::optional<Value> GetValue(std::string_view path, std::string_view name) const;
    std::optional<uint32_t> GetDword(std::string_view path, std::string_view name) const; // REG_DWORD only
    std::optional<std::string> GetString(std::string_view path,
                                         std::string_view name) const; // REG_SZ / REG_EXPAND_SZ only
    std::vector<std::string> SubKeys(std::string_view path) const;
    std::vector<std::string> Values(std::string_view path) const;

    // .reg files ("Windows Registry Editor Version 5.00"). An import is parsed whole before anything is
    // applied, so a malformed file (RegFileError) changes nothing; a key deeper than kMaxKeyDepth is
    // malformed. The text may be UTF-8, with or
    // without a byte order mark, or UTF-16LE with one.
    void ImportReg(std::string_view text);
    void ImportRegFile(const std::string& file);
    // The statements of a .reg text in file order, parsed as ImportReg parses them but not applied, each
    // with the line it starts on: for a tool that turns the file into something else.
    struct RegEntry {
        enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
        int line;
        std::string key;  // kernel form: "\REGISTRY\Machine\SYSTEM\..."
        std::string name; // of a value; empty for the default value
        Value value;      // kSetValue only
    };
    static std::vector<RegEntry> ParseReg(std::string_view text);
    static std::vector<RegEntry> ParseRegFile(const std::string& file);
    // The key at `root_path` and everything under it. Export is UTF-8 without a byte order mark and
    // with CRLF line ends: regedit and the import above both read it, and it diffs well.
    std::string ExportReg(std::string_view root_path) const;
    void ExportRegFile(std::string_view root_path, const std::string& file) const;

    // The driver's side, as RtlWriteRegistryValue sees it: the final key is created when its parent
    // exists (as the kernel's create-key does); a missing parent gives STATUS_OBJECT_NAME_NOT_FOUND.
    // Writes fail while the fault knob says so, and successful writes are counted.
    NTSTATUS KernelWrite(std::string_view path, std::string_view name, uint32_t type,
                         std::vector<uint8_t> data);
    // The same from the driver's own text: NUL-terminated UTF-16 (a null name is the default value), the
    // data where the driver holds it. A driver publishes the same few values on every poll: the keys of
    // its last few paths are remembered by their exact text, and an ASCII name is copied into a buffer
    // kept for it, so that rewriting a value allocates nothing.
    NTSTATUS KernelWrite(const char16_t* path, const char16_t* name, uint32_t type,
                         std::span<const uint8_t> data);

    // The next `count` kernel writes fail with STATUS_INSUFFICIENT_RESOURCES (what the configuration
    // manager returns when a hive cannot grow) and change nothing; count < 0 fails all of them from
    // then on, 0 ends the fault.
    void FailWrites(int count);
    // Hears each kernel write once it is stored, on the writing thread and outside the registry's lock
    // (it may read the registry); null: none. For a tool that follows what a driver publishes as it does.
    using WriteObserver = std::function<void(std::string_view path, std::string_view name, uint32_t type,
                                             std::span<const uint8_t> data)>;
    void ObserveKernelWrites(WriteObserver observer);
    uint64_t Writes() const;       // kernel writes that were stored
    uint64_t FailedWrites() const; // kernel writes the knob failed

private:
    using Key = RegistryKey;

    Key* Find(std::string_view path) const;
    Key* Create(const std::vector<std::string>& components);
    bool FailThisWrite();                                 // the fault knob, counting what it fails
    NTSTATUS KernelKey(std::string_view path, Key*& key); // the key a kernel write goes to

    void NameToUtf8(const char16_t* name); // into name_utf8_

    // Keys found for the driver's paths, in the order first written. Emptied when a key is deleted (its
    // node goes) and when full (a driver writing to ever new keys).
    struct CachedPath {
        std::u16string text;
        std::string utf8; // the same, as the key tree and a write's observer take it
        size_t shared;    // units it has in common with the first one's start (all of its own for the first)
        Key* key;
    };
    static constexpr size_t kCachedPaths = 8;
    // Null when the path is not among the remembered ones.
    const CachedPath* CachedKey(const char16_t* path) const;
    std::vector<CachedPath> paths_;
    std::string name_utf8_; // the value name of the kernel write in progress

    mutable std::mutex mu_;
    std::unique_ptr<Key> root_;
    int fail_writes_ = 0;
    // Copied under mu_ and called outside it. A copy of the function, not a shared pointer: no virtual
    // call on the path of every write (the sanitizers' check of one needs a descriptor, and a test runs
    // the machine with none left).
    WriteObserver observer_;
    uint64_t writes_ = 0;
    uint64_t failed_writes_ = 0;
};

} // namespace sim
