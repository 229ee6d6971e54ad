#include "registry.h"

#include <algorithm>

#include "registry_tree.h"
#include "text.h"

namespace sim {

using Key = RegistryKey;

size_t FoldedNameHash::operator()(std::string_view name) const
{
    // FNV-1a over the folded bytes: names are short, and this is cheaper than folding a copy.
    uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h = (h ^ static_cast<unsigned char>(FoldAscii(c))) * 1099511628211ull;
    }
    return static_cast<size_t>(h);
}

namespace {

// After the entry at `removed` left its list, the ones behind it moved up by one.
void Unindex(NameIndex& index, NameIndex::iterator entry)
{
    const size_t removed = entry->second;
    index.erase(entry);
    for (auto& [name, position] : index) {
        if (position > removed) {
            position--;
        }
    }
}

} // namespace

RegistryKey* RegistryKey::SubKey(std::string_view sub) const
{
    const auto it = subkey_index.find(sub);
    return it != subkey_index.end() ? subkeys[it->second].get() : nullptr;
}

RegistryKey* RegistryKey::AddSubKey(std::string sub)
{
    subkey_index.emplace(sub, subkeys.size());
    subkeys.push_back(std::make_unique<Key>());
    subkeys.back()->name = std::move(sub);
    return subkeys.back().get();
}

bool RegistryKey::RemoveSubKey(std::string_view sub)
{
    const auto it = subkey_index.find(sub);
    if (it == subkey_index.end()) {
        return false;
    }
    subkeys.erase(subkeys.begin() + static_cast<ptrdiff_t>(it->second));
    Unindex(subkey_index, it);
    return true;
}

RegistryKey* RegistryKey::Walk(const RegistryPath& path, size_t count)
{
    Key* key = this;
    for (size_t i = 0; i < count && key != nullptr; i++) {
        key = key->SubKey(path[i]);
    }
    return key;
}

Registry::Value* RegistryKey::FindValue(std::string_view value_name)
{
    const auto it = value_index.find(value_name);
    return it != value_index.end() ? &values[it->second].second : nullptr;
}

void RegistryKey::Store(std::string_view value_name, Registry::Value value)
{
    if (Registry::Value* v = FindValue(value_name)) {
        *v = std::move(value);
    } else {
        value_index.emplace(value_name, values.size());
        values.emplace_back(std::string(value_name), std::move(value));
    }
}

void RegistryKey::Store(std::string_view value_name, uint32_t type, std::span<const uint8_t> data)
{
    if (Registry::Value* v = FindValue(value_name)) {
        v->type = type;
        v->data.assign(data.begin(), data.end());
    } else {
        Store(value_name, {type, std::vector<uint8_t>(data.begin(), data.end())});
    }
}

bool RegistryKey::RemoveValue(std::string_view value_name)
{
    const auto it = value_index.find(value_name);
    if (it == value_index.end()) {
        return false;
    }
    values.erase(values.begin() + static_cast<ptrdiff_t>(it->second));
    Unindex(value_index, it);
    return true;
}

std::vector<std::string_view> PathParts(std::string_view path)
{
    std::vector<std::string_view> parts;
    for (size_t pos = 0;;) {
        const size_t end = path.find('\\', pos);
        parts.push_back(path.substr(pos, end == std::string_view::npos ? end : end - pos));
        if (end == std::string_view::npos) {
            return parts;
        }
        pos = end + 1;
    }
}

std::optional<RegistryPath> SplitRegistryPath(std::string_view path)
{
    if (path.empty() || path[0] != '\\') {
        return std::nullopt;
    }
    const std::vector<std::string_view> parts = PathParts(path.substr(1));
    if (!SameName(parts[0], "REGISTRY") ||
        std::any_of(parts.begin(), parts.end(), [](std::string_view p) { return p.empty(); })) {
        return std::nullopt;
    }
    return RegistryPath(parts.begin() + 1, parts.end());
}

Registry::Registry() : root_(std::make_unique<Key>())
{
    root_->name = "REGISTRY";
    root_->AddSubKey("Machine");
    root_->AddSubKey("User");
}

Registry::~Registry() = default;

RegistryKey* Registry::Find(std::string_view path) const
{
    const std::optional<RegistryPath> parts = SplitRegistryPath(path);
    return parts ? root_->Walk(*parts, parts->size()) : nullptr;
}

// Below a hive only: the root holds exactly the two hives.
RegistryKey* Registry::Create(const RegistryPath& parts)
{
    if (parts.size() > kMaxKeyDepth) {
        throw std::invalid_argument("a key " + std::to_string(parts.size()) +
                                    " levels deep; the registry holds " + std::to_string(kMaxKeyDepth) +
                                    " at most");
    }
    Key* key = root_.get();
    for (size_t i = 0; i < parts.size(); i++) {
        Key* sub = key->SubKey(parts[i]);
        if (sub == nullptr) {
            if (i == 0) {
                return nullptr;
            }
            sub = key->AddSubKey(parts[i]);
        }
        key = sub;
    }
    return key;
}

void Registry::CreateKey(std::string_view path)
{
    std::lock_guard lk(mu_);
    const std::optional<RegistryPath> parts = SplitRegistryPath(path);
    if (!parts || Create(*parts) == nullptr) {
        throw std::invalid_argument("not a key path below \\REGISTRY\\Machine or \\REGISTRY\\User: " +
                                    std::string(path));
    }
}

bool Registry::DeleteKey(std::string_view path)
{
    std::lock_guard lk(mu_);
    const std::optional<RegistryPath> parts = SplitRegistryPath(path);
    if (!parts) {
        return false;
    }
    if (parts->size() <= 1) {
        throw std::invalid_argument("the registry root and its hives cannot be deleted: " +
                                    std::string(path));
    }
    Key* parent = root_->Walk(*parts, parts->size() - 1);
    if (parent == nullptr) {
        return false;
    }
    paths_.clear();
    return parent->RemoveSubKey(parts->back());
}

bool Registry::KeyExists(std::string_view path) const
{
    std::lock_guard lk(mu_);
    return Find(path) != nullptr;
}

void Registry::SetValue(std::string_view path, std::string_view name, uint32_t type,
                        std::vector<uint8_t> data)
{
    std::lock_guard lk(mu_);
    const std::optional<RegistryPath> parts = SplitRegistryPath(path);
    Key* key = parts && !parts->empty() ? Create(*parts) : nullptr;
    if (key == nullptr) {
        throw std::invalid_argument("not a key path below \\REGISTRY\\Machine or \\REGISTRY\\User: " +
                                    std::string(path));
    }
    key->Store(name, {type, std::move(data)});
}

void Registry::SetDword(std::string_view path, std::string_view name, uint32_t value)
{
    SetValue(path, name, REG_DWORD,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view utf8)
{
    SetValue(path, name, REG_SZ, Utf16LeWithNul(utf8));
}

bool Registry::DeleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard lk(mu_);
    Key* key = Find(path);
    return key != nullptr && key->RemoveValue(name);
}

std::optional<Registry::Value> Registry::GetValue(std::string_view path, std::string_view name) const
{
    std::lock_guard lk(mu_);
    Key* key = Find(path);
    Value* v = key != nullptr ? key->FindValue(name) : nullptr;
    return v != nullptr ? std::optional<Value>(*v) : std::nullopt;
}

std::optional<uint32_t> Registry::GetDword(std::string_view path, std::string_view name) const
{
    const std::optional<Value> v = GetValue(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) {
        return std::nullopt;
    }
    return v->data[0] | v->data[1] << 8 | v->data[2] << 16 | static_cast<uint32_t>(v->data[3]) << 24;
}

std::optional<std::string> Registry::GetString(std::string_view path, std::string_view name) const
{
    const std::optional<Value> v = GetValue(path, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) {
        return std::nullopt;
    }
    std::u16string units = Utf16FromLe(v->data);
    units.resize(std::min(units.size(), units.find(u'\0')));
    return Utf8FromUtf16(units);
}

std::vector<std::string> Registry::SubKeys(std::string_view path) const
{
    std::lock_guard lk(mu_);
    std::vector<std::string> names;
    if (Key* key = Find(path)) {
        for (const auto& sub : key->subkeys) {
            names.push_back(sub->name);
        }
    }
    return names;
}

std::vector<std::string> Registry::Values(std::string_view path) const
{
    std::lock_guard lk(mu_);
    std::vector<std::string> names;
    if (Key* key = Find(path)) {
        for (const auto& [name, value] : key->values) {
            names.push_back(name);
        }
    }
    return names;
}

bool Registry::FailThisWrite()
{
    if (fail_writes_ == 0) {
        return false;
    }
    if (fail_writes_ > 0) {
        fail_writes_--;
    }
    failed_writes_++;
    return true;
}

NTSTATUS Registry::KernelKey(std::string_view path, Key*& key)
{
    const std::optional<RegistryPath> parts = SplitRegistryPath(path);
    if (!parts) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    key = root_->Walk(*parts, parts->size());
    if (key == nullptr) {
        Key* parent = root_->Walk(*parts, parts->size() - 1);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (parent == root_.get()) {
            return STATUS_ACCESS_DENIED; // the root holds the hives and nothing else
        }
        key = parent->AddSubKey(parts->back());
    }
    return key == root_.get() ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}

NTSTATUS Registry::KernelWrite(std::string_view path, std::string_view name, uint32_t type,
                               std::vector<uint8_t> data)
{
    std::unique_lock lk(mu_);
    if (FailThisWrite()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Key* key = nullptr;
    if (const NTSTATUS status = KernelKey(path, key); !NT_SUCCESS(status)) {
        return status;
    }
    const WriteObserver observer = observer_;
    if (observer) {
        key->Store(name, type, data);
    } else {
        key->Store(name, {type, std::move(data)});
    }
    writes_++;
    lk.unlock();
    if (observer) {
        observer(path, name, type, data);
    }
    return STATUS_SUCCESS;
}

void Registry::ObserveKernelWrites(WriteObserver observer)
{
    std::lock_guard lk(mu_);
    observer_ = std::move(observer);
}

namespace {

// How far from `from` on the driver's text agrees with `known`. Each unit of the text is read only after
// the ones before it matched units of `known`, none of them the NUL: never past the end of the text.
size_t Agreement(const std::u16string& known, const char16_t* text, size_t from)
{
    const char16_t* k = known.c_str(); // NUL-terminated: the NUL never matches a unit the text holds
    size_t i = from;
    // Four units a step while all agree (the texts are mostly long and mostly equal); a unit of the text
    // is still read only once the one before it matched a unit of `known`.
    while (k[i] != 0 && k[i] == text[i] && k[i + 1] != 0 && k[i + 1] == text[i + 1] && k[i + 2] != 0 &&
           k[i + 2] == text[i + 2] && k[i + 3] != 0 && k[i + 3] == text[i + 3]) {
        i += 4;
    }
    while (k[i] != 0 && k[i] == text[i]) {
        i++;
    }
    return i;
}

} // namespace

// The driver's paths share most of their length ("\REGISTRY\Machine\System\...\Parameters\"): the
// path is compared once with the first remembered one, and another can only match where it leaves that
// one exactly where the path does, so that only the rest of it is compared.
const Registry::CachedPath* Registry::CachedKey(const char16_t* path) const
{
    if (paths_.empty()) {
        return nullptr;
    }
    const size_t agreed = Agreement(paths_.front().text, path, 0);
    for (const CachedPath& cached : paths_) {
        if (cached.shared == agreed) {
            const size_t length = cached.text.size();
            if (Agreement(cached.text, path, agreed) == length && path[length] == 0) {
                return &cached;
            }
        }
    }
    return nullptr;
}

void Registry::NameToUtf8(const char16_t* name)
{
    size_t length = 0;
    bool ascii = true;
    for (; name != nullptr && name[length] != 0; length++) {
        ascii = ascii && name[length] < 0x80;
    }
    if (!ascii) {
        name_utf8_ = Utf8FromUtf16({name, length});
        return;
    }
    name_utf8_.resize(length);
    for (size_t i = 0; i < length; i++) {
        name_utf8_[i] = static_cast<char>(name[i]);
    }
}

NTSTATUS Registry::KernelWrite(const char16_t* path, const char16_t* name, uint32_t type,
                               std::span<const uint8_t> data)
{
    std::unique_lock lk(mu_);
    if (FailThisWrite()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const CachedPath* cached = CachedKey(path);
    if (cached == nullptr) {
        std::string utf8 = Utf8FromUtf16(path);
        Key* key = nullptr;
        if (const NTSTATUS status = KernelKey(utf8, key); !NT_SUCCESS(status)) {
            return status;
        }
        if (paths_.size() == kCachedPaths) {
            paths_.clear();
        }
        std::u16string text(path);
        const size_t shared = paths_.empty() ? text.size() : Agreement(paths_.front().text, path, 0);
        paths_.push_back({std::move(text), std::move(utf8), shared, key});
        cached = &paths_.back();
    }
    Key* key = cached->key;
    NameToUtf8(name);
    key->Store(name_utf8_, type, data);
    writes_++;
    const WriteObserver observer = observer_;
    if (!observer) {
        return STATUS_SUCCESS;
    }
    // Heard outside the lock: the texts are copied into this thread's own buffers first (no allocation
    // once they have grown to the driver's longest path).
    thread_local std::string path_utf8;
    thread_local std::string name_utf8;
    path_utf8 = cached->utf8;
    name_utf8 = name_utf8_;
    lk.unlock();
    observer(path_utf8, name_utf8, type, data);
    return STATUS_SUCCESS;
}

void Registry::FailWrites(int count)
{
    std::lock_guard lk(mu_);
    fail_writes_ = count;
}

uint64_t Registry::Writes() const
{
    std::lock_guard lk(mu_);
    return writes_;
}

uint64_t Registry::FailedWrites() const
{
    std::lock_guard lk(mu_);
    return failed_writes_;
}

} // namespace sim
