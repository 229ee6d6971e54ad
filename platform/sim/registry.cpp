#include "registry.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace sim {

struct RegistryKey {
    std::string name;
    std::vector<std::unique_ptr<RegistryKey>> subkeys;
    std::vector<std::pair<std::string, Registry::Value>> values;
};

namespace {

using Key = RegistryKey;
using Components = std::vector<std::string>;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Fold(x) == Fold(y); });
}

// The backslash-separated parts of a path; empty parts are kept for the caller to refuse.
std::vector<std::string_view> Parts(std::string_view path)
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

// The components below "\REGISTRY" ({} for the root itself), or nothing when the path is not a
// registry path or has an empty component.
std::optional<Components> Split(std::string_view path)
{
    if (path.empty() || path[0] != '\\') {
        return std::nullopt;
    }
    const std::vector<std::string_view> parts = Parts(path.substr(1));
    if (!SameName(parts[0], "REGISTRY") ||
        std::any_of(parts.begin(), parts.end(), [](std::string_view p) { return p.empty(); })) {
        return std::nullopt;
    }
    return Components(parts.begin() + 1, parts.end());
}

Key* SubKey(const Key& key, std::string_view name)
{
    for (const auto& sub : key.subkeys) {
        if (SameName(sub->name, name)) {
            return sub.get();
        }
    }
    return nullptr;
}

Key* Walk(Key* key, const Components& parts, size_t count)
{
    for (size_t i = 0; i < count && key != nullptr; i++) {
        key = SubKey(*key, parts[i]);
    }
    return key;
}

Key* AddSubKey(Key& parent, std::string name)
{
    parent.subkeys.push_back(std::make_unique<Key>());
    parent.subkeys.back()->name = std::move(name);
    return parent.subkeys.back().get();
}

Registry::Value* FindValue(Key& key, std::string_view name)
{
    for (auto& [n, v] : key.values) {
        if (SameName(n, name)) {
            return &v;
        }
    }
    return nullptr;
}

// An existing value keeps the spelling of its name, as a rewritten value does on Windows.
void Store(Key& key, std::string_view name, Registry::Value value)
{
    if (Registry::Value* v = FindValue(key, name)) {
        *v = std::move(value);
    } else {
        key.values.emplace_back(std::string(name), std::move(value));
    }
}

bool RemoveValue(Key& key, std::string_view name)
{
    auto it = std::find_if(key.values.begin(), key.values.end(),
                           [&](const auto& nv) { return SameName(nv.first, name); });
    if (it == key.values.end()) {
        return false;
    }
    key.values.erase(it);
    return true;
}

// Decodes one code point; false (consuming one byte) on an ill-formed sequence.
bool NextUtf8(std::string_view s, size_t& i, char32_t& cp)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    int extra;
    char32_t min;
    if (b0 < 0x80) {
        cp = b0;
        i++;
        return true;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1, min = 0x80, cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, min = 0x800, cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, min = 0x10000, cp = b0 & 0x07;
    } else {
        i++;
        return false;
    }
    if (i + extra >= s.size()) {
        i++;
        return false;
    }
    for (int k = 1; k <= extra; k++) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            i++;
            return false;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        i++;
        return false;
    }
    i += extra + 1;
    return true;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::vector<uint8_t> StringBytes(std::string_view utf8)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : Utf16FromUtf8(utf8)) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::u16string Units(const std::vector<uint8_t>& data)
{
    std::u16string units;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    }
    return units;
}

// The text of a REG_SZ that a quoted .reg string reproduces exactly: one terminating NUL, no other, and
// nothing a line of its own cannot hold.
std::optional<std::string> PlainString(const std::vector<uint8_t>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string units = Units(data);
    if (units.back() != 0) {
        return std::nullopt;
    }
    units.pop_back();
    if (units.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos) {
        return std::nullopt;
    }
    std::string text = Utf8FromUtf16(units);
    if (Utf16FromUtf8(text) != units) { // a lone surrogate does not survive UTF-8
        return std::nullopt;
    }
    return text;
}

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + '"';
}

std::string HivePath(std::string_view hive)
{
    return SameName(hive, "Machine") ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
}

bool Expressible(std::string_view name)
{
    return name.find_first_of("\r\n") == std::string_view::npos;
}

// Regedit's layout of a hex list: lines of at most 80 columns, broken after a comma with a backslash,
// continued with two spaces.
std::string HexLine(std::string line, const std::vector<uint8_t>& data)
{
    std::string out;
    char piece[4];
    for (size_t i = 0; i < data.size(); i++) {
        std::snprintf(piece, sizeof piece, i + 1 < data.size() ? "%02x," : "%02x", data[i]);
        if (line.size() + std::char_traits<char>::length(piece) + 1 > 80 && line.back() == ',') {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += piece;
    }
    return out + line + "\r\n";
}

std::string FormatValue(const std::string& name, const Registry::Value& value)
{
    std::string head = (name.empty() ? std::string("@") : Quote(name)) + "=";
    if (value.type == REG_SZ) {
        if (std::optional<std::string> text = PlainString(value.data)) {
            return head + Quote(*text) + "\r\n";
        }
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        char dword[16];
        std::snprintf(dword, sizeof dword, "dword:%08x",
                      value.data[0] | value.data[1] << 8 | value.data[2] << 16 | value.data[3] << 24);
        return head + dword + "\r\n";
    }
    char prefix[24] = "hex:";
    if (value.type != REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    }
    return HexLine(head + prefix, value.data);
}

// --- .reg import -------------------------------------------------------------------------------------

struct Op {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind; // as Registry::RegEntry's
    Components key;
    std::string name;
    Registry::Value value;
    int line = 0;
};

[[noreturn]] void Fail(int line, const std::string& what)
{
    throw RegFileError("line " + std::to_string(line) + ": " + what, line);
}

std::string_view Trim(std::string_view s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The text as UTF-8, whatever the file's encoding.
std::string DecodeText(std::string_view bytes)
{
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            Fail(1, "UTF-16 text with an odd number of bytes");
        }
        std::u16string units;
        for (size_t i = 2; i < bytes.size(); i += 2) {
            units += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1])
                                                                                << 8);
        }
        return Utf8FromUtf16(units);
    }
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF) {
        Fail(1, "UTF-16 big-endian text is not supported (use UTF-16LE or UTF-8)");
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    for (size_t i = 0; i < bytes.size();) {
        const size_t at = i;
        char32_t cp;
        if (!NextUtf8(bytes, i, cp)) {
            Fail(1 + static_cast<int>(std::count(bytes.begin(), bytes.begin() + at, '\n')), "invalid UTF-8");
        }
    }
    return std::string(bytes);
}

// A quoted string at the start of `s` (a value name or REG_SZ data), with \\ and \" escapes; `s` is left
// after the closing quote.
std::string ParseQuoted(std::string_view& s, int line)
{
    std::string out;
    for (size_t i = 1; i < s.size(); i++) {
        if (s[i] == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (s[i] == '\\') {
            if (i + 1 == s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                Fail(line, "unknown escape in a quoted string (only \\\\ and \\\" are allowed)");
            }
            i++;
        }
        out += s[i];
    }
    Fail(line, "unterminated quoted string");
}

std::optional<uint32_t> ParseHexNumber(std::string_view s, size_t max_digits)
{
    if (s.empty() || s.size() > max_digits) {
        return std::nullopt;
    }
    uint32_t v = 0;
    for (char c : s) {
        const char f = Fold(c);
        if (f >= '0' && f <= '9') {
            v = v << 4 | static_cast<uint32_t>(f - '0');
        } else if (f >= 'a' && f <= 'f') {
            v = v << 4 | static_cast<uint32_t>(f - 'a' + 10);
        } else {
            return std::nullopt;
        }
    }
    return v;
}

// The hive-relative components of a section's key path ("HKEY_LOCAL_MACHINE\SYSTEM" -> Machine, SYSTEM).
Components ParseKeyPath(std::string_view path, int line)
{
    Components parts;
    for (std::string_view part : Parts(path)) {
        if (part.empty()) {
            Fail(line, "empty key name in [" + std::string(path) + "]");
        }
        parts.emplace_back(part);
    }
    if (SameName(parts[0], "HKEY_LOCAL_MACHINE") || SameName(parts[0], "HKLM")) {
        parts[0] = "Machine";
    } else if (SameName(parts[0], "HKEY_USERS") || SameName(parts[0], "HKU")) {
        parts[0] = "User";
    } else {
        Fail(line, "unknown root key '" + parts[0] + "' (HKEY_LOCAL_MACHINE or HKEY_USERS)");
    }
    return parts;
}

// Bytes of one physical line of a hex list; true when the list continues on the next line.
bool ParseHexPiece(std::string_view piece, int line, std::vector<uint8_t>& out)
{
    piece = Trim(piece);
    const bool continued = !piece.empty() && piece.back() == '\\';
    if (continued) {
        piece = Trim(piece.substr(0, piece.size() - 1));
    }
    size_t pos = 0;
    while (pos < piece.size()) {
        const size_t comma = piece.find(',', pos);
        const std::string_view token =
            Trim(piece.substr(pos, comma == std::string_view::npos ? comma : comma - pos));
        const std::optional<uint32_t> byte = ParseHexNumber(token, 2);
        if (!byte) {
            Fail(line, token.empty() ? "missing byte in a hex list"
                                     : "'" + std::string(token) + "' is not a hex byte");
        }
        out.push_back(static_cast<uint8_t>(*byte));
        if (comma == std::string_view::npos) {
            break;
        }
        pos = comma + 1; // a comma ending the line is regedit's own layout
    }
    return continued;
}

std::vector<Op> ParseRegText(std::string_view bytes)
{
    const std::string text = DecodeText(bytes);
    std::vector<std::string_view> lines;
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view l(text.data() + pos, end - pos);
        if (!l.empty() && l.back() == '\r') {
            l.remove_suffix(1);
        }
        lines.push_back(l);
        pos = end + 1;
    }

    std::vector<Op> ops;
    bool header = false;
    std::optional<Components> key; // the current section
    bool deleting = false;
    for (size_t i = 0; i < lines.size(); i++) {
        const int n = static_cast<int>(i + 1);
        std::string_view l = Trim(lines[i]);
        if (l.empty() || l[0] == ';') {
            continue;
        }
        if (!header) {
            if (l != kHeader) {
                Fail(n, "expected \"" + std::string(kHeader) + "\" as the first line");
            }
            header = true;
            continue;
        }
        if (l[0] == '[') {
            if (l.back() != ']') {
                Fail(n, "a key section must end with ']'");
            }
            std::string_view path = l.substr(1, l.size() - 2);
            deleting = !path.empty() && path[0] == '-';
            if (deleting) {
                path.remove_prefix(1);
            }
            key = ParseKeyPath(path, n);
            if (deleting && key->size() == 1) {
                Fail(n, "a hive root cannot be deleted");
            }
            ops.push_back({deleting ? Op::kDeleteKey : Op::kCreateKey, *key, {}, {}, n});
            continue;
        }

        std::string name;
        if (l[0] == '@') {
            l.remove_prefix(1);
        } else if (l[0] == '"') {
            name = ParseQuoted(l, n);
        } else {
            Fail(n, "expected a [key] section, a quoted value name or @");
        }
        l = Trim(l);
        if (l.empty() || l[0] != '=') {
            Fail(n, "expected '=' after the value name");
        }
        l = Trim(l.substr(1));
        if (!key) {
            Fail(n, "value before the first [key] section");
        }
        if (deleting) {
            Fail(n, "value under a key section that deletes the key");
        }

        Op op{Op::kSetValue, *key, name, {}, n};
        if (l == "-") {
            op.kind = Op::kDeleteValue;
        } else if (!l.empty() && l[0] == '"') {
            const std::string data = ParseQuoted(l, n);
            if (!Trim(l).empty()) {
                Fail(n, "unexpected text after the quoted string");
            }
            op.value = {REG_SZ, StringBytes(data)};
        } else if (SameName(l.substr(0, 6), "dword:")) {
            const std::optional<uint32_t> v = ParseHexNumber(Trim(l.substr(6)), 8);
            if (!v) {
                Fail(n, "a dword needs 1 to 8 hex digits");
            }
            op.value = {REG_DWORD,
                        {static_cast<uint8_t>(*v), static_cast<uint8_t>(*v >> 8),
                         static_cast<uint8_t>(*v >> 16), static_cast<uint8_t>(*v >> 24)}};
        } else if (SameName(l.substr(0, 3), "hex")) {
            l.remove_prefix(3);
            op.value.type = REG_BINARY;
            if (!l.empty() && l[0] == '(') {
                const size_t close = l.find(')');
                const std::optional<uint32_t> type = close == std::string_view::npos
                                                         ? std::nullopt
                                                         : ParseHexNumber(l.substr(1, close - 1), 8);
                if (!type) {
                    Fail(n, "hex(N) needs a hex type number N");
                }
                op.value.type = *type;
                l.remove_prefix(close + 1);
            }
            if (l.empty() || l[0] != ':') {
                Fail(n, "expected ':' after hex");
            }
            int at = n;
            bool more = ParseHexPiece(l.substr(1), at, op.value.data);
            while (more) {
                // A dangling backslash more likely marks a lost line than a list meant to end there.
                if (++i == lines.size() || Trim(lines[i]).empty()) {
                    Fail(at, "a hex list ends with '\\' but no bytes follow");
                }
                at = static_cast<int>(i + 1);
                more = ParseHexPiece(lines[i], at, op.value.data);
            }
        } else {
            Fail(n, "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        ops.push_back(std::move(op));
    }
    if (!header) {
        Fail(static_cast<int>(lines.size()), "no \"" + std::string(kHeader) + "\" header");
    }
    return ops;
}

} // namespace

std::string Utf8FromUtf16(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::u16string Utf16FromUtf8(std::string_view text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        if (!NextUtf8(text, i, cp)) {
            cp = 0xFFFD;
        }
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

Registry::Registry() : root_(std::make_unique<Key>())
{
    root_->name = "REGISTRY";
    AddSubKey(*root_, "Machine");
    AddSubKey(*root_, "User");
}

Registry::~Registry() = default;

RegistryKey* Registry::Find(std::string_view path) const
{
    const std::optional<Components> parts = Split(path);
    return parts ? Walk(root_.get(), *parts, parts->size()) : nullptr;
}

// Below a hive only: the root holds exactly the two hives.
RegistryKey* Registry::Create(const Components& parts)
{
    Key* key = root_.get();
    for (size_t i = 0; i < parts.size(); i++) {
        Key* sub = SubKey(*key, parts[i]);
        if (sub == nullptr) {
            if (i == 0) {
                return nullptr;
            }
            sub = AddSubKey(*key, parts[i]);
        }
        key = sub;
    }
    return key;
}

void Registry::CreateKey(std::string_view path)
{
    std::lock_guard lk(mu_);
    const std::optional<Components> parts = Split(path);
    if (!parts || Create(*parts) == nullptr) {
        throw std::invalid_argument("not a key path below \\REGISTRY\\Machine or \\REGISTRY\\User: " +
                                    std::string(path));
    }
}

bool Registry::DeleteKey(std::string_view path)
{
    std::lock_guard lk(mu_);
    const std::optional<Components> parts = Split(path);
    if (!parts) {
        return false;
    }
    if (parts->size() <= 1) {
        throw std::invalid_argument("the registry root and its hives cannot be deleted: " +
                                    std::string(path));
    }
    Key* parent = Walk(root_.get(), *parts, parts->size() - 1);
    if (parent == nullptr) {
        return false;
    }
    auto it = std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                           [&](const auto& k) { return SameName(k->name, parts->back()); });
    if (it == parent->subkeys.end()) {
        return false;
    }
    parent->subkeys.erase(it);
    return true;
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
    const std::optional<Components> parts = Split(path);
    Key* key = parts && !parts->empty() ? Create(*parts) : nullptr;
    if (key == nullptr) {
        throw std::invalid_argument("not a key path below \\REGISTRY\\Machine or \\REGISTRY\\User: " +
                                    std::string(path));
    }
    Store(*key, name, {type, std::move(data)});
}

void Registry::SetDword(std::string_view path, std::string_view name, uint32_t value)
{
    SetValue(path, name, REG_DWORD,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void Registry::SetString(std::string_view path, std::string_view name, std::string_view utf8)
{
    SetValue(path, name, REG_SZ, StringBytes(utf8));
}

bool Registry::DeleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard lk(mu_);
    Key* key = Find(path);
    return key != nullptr && RemoveValue(*key, name);
}

std::optional<Registry::Value> Registry::GetValue(std::string_view path, std::string_view name) const
{
    std::lock_guard lk(mu_);
    Key* key = Find(path);
    Value* v = key != nullptr ? FindValue(*key, name) : nullptr;
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
    std::u16string units = Units(v->data);
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

void Registry::ImportReg(std::string_view text)
{
    const std::vector<Op> ops = ParseRegText(text);
    std::lock_guard lk(mu_);
    for (const Op& op : ops) {
        switch (op.kind) {
            case Op::kCreateKey:
                Create(op.key);
                break;
            case Op::kDeleteKey: {
                Key* parent = Walk(root_.get(), op.key, op.key.size() - 1);
                if (parent != nullptr) {
                    std::erase_if(parent->subkeys,
                                  [&](const auto& k) { return SameName(k->name, op.key.back()); });
                }
                break;
            }
            case Op::kSetValue:
                Store(*Create(op.key), op.name, op.value);
                break;
            case Op::kDeleteValue:
                RemoveValue(*Create(op.key), op.name);
                break;
        }
    }
}

namespace {

std::string ReadRegFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw RegFileError(file + ": cannot be read");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

void Registry::ImportRegFile(const std::string& file)
{
    const std::string bytes = ReadRegFile(file);
    try {
        ImportReg(bytes);
    } catch (const RegFileError& e) {
        throw RegFileError(file + ": " + e.what(), e.line());
    }
}

std::vector<Registry::RegEntry> Registry::ParseReg(std::string_view text)
{
    std::vector<RegEntry> entries;
    for (Op& op : ParseRegText(text)) {
        std::string key = "\\REGISTRY";
        for (const std::string& part : op.key) {
            key += "\\" + part;
        }
        entries.push_back({static_cast<RegEntry::Kind>(op.kind), op.line, std::move(key), std::move(op.name),
                           std::move(op.value)});
    }
    return entries;
}

std::vector<Registry::RegEntry> Registry::ParseRegFile(const std::string& file)
{
    const std::string bytes = ReadRegFile(file);
    try {
        return ParseReg(bytes);
    } catch (const RegFileError& e) {
        throw RegFileError(file + ": " + e.what(), e.line());
    }
}

void Registry::ExportKey(const Key& key, const std::string& reg_path, std::string& out) const
{
    if (!Expressible(key.name)) {
        throw std::invalid_argument("a key name with a line break has no .reg spelling: " + reg_path);
    }
    out += "[" + reg_path + "]\r\n";
    for (const auto& [name, value] : key.values) {
        if (!Expressible(name)) {
            throw std::invalid_argument("a value name with a line break has no .reg spelling, in " +
                                        reg_path);
        }
        out += FormatValue(name, value);
    }
    out += "\r\n";
    for (const auto& sub : key.subkeys) {
        ExportKey(*sub, reg_path + "\\" + sub->name, out);
    }
}

std::string Registry::ExportReg(std::string_view root_path) const
{
    std::lock_guard lk(mu_);
    const std::optional<Components> parts = Split(root_path);
    if (!parts || Walk(root_.get(), *parts, parts->size()) == nullptr) {
        throw std::invalid_argument("no such key: " + std::string(root_path));
    }
    std::string out = std::string(kHeader) + "\r\n\r\n";
    if (parts->empty()) {
        for (const auto& hive : root_->subkeys) {
            ExportKey(*hive, HivePath(hive->name), out);
        }
        return out;
    }
    // The stored spelling of each component, not the caller's.
    const Key* key = root_.get();
    std::string reg_path;
    for (const std::string& part : *parts) {
        key = SubKey(*key, part);
        reg_path += reg_path.empty() ? HivePath(key->name) : "\\" + key->name;
    }
    ExportKey(*key, reg_path, out);
    return out;
}

void Registry::ExportRegFile(std::string_view root_path, const std::string& file) const
{
    const std::string text = ExportReg(root_path);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out.flush()) {
        throw std::runtime_error(file + ": cannot be written");
    }
}

NTSTATUS Registry::KernelWrite(std::string_view path, std::string_view name, uint32_t type,
                               std::vector<uint8_t> data)
{
    std::lock_guard lk(mu_);
    if (fail_writes_ != 0) {
        if (fail_writes_ > 0) {
            fail_writes_--;
        }
        failed_writes_++;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::optional<Components> parts = Split(path);
    if (!parts) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Key* key = Walk(root_.get(), *parts, parts->size());
    if (key == nullptr) {
        Key* parent = Walk(root_.get(), *parts, parts->size() - 1);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (parent == root_.get()) {
            return STATUS_ACCESS_DENIED; // the root holds the hives and nothing else
        }
        key = AddSubKey(*parent, parts->back());
    }
    if (key == root_.get()) {
        return STATUS_ACCESS_DENIED;
    }
    Store(*key, name, {type, std::move(data)});
    writes_++;
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
