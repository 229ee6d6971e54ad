// The .reg text format ("Windows Registry Editor Version 5.00"): importing a text into the tree and
// exporting a key as regedit lays it out. A text is parsed whole into statements before any is applied.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "registry.h"
#include "registry_tree.h"
#include "text.h"

namespace sim {
namespace {

using Key = RegistryKey;

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

// --- .reg export --------------------------------------------------------------------------------------

// The text of a REG_SZ that a quoted .reg string reproduces exactly: one terminating NUL, no other, and
// nothing a line of its own cannot hold.
std::optional<std::string> PlainString(const std::vector<uint8_t>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string units = Utf16FromLe(data);
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

// One key's section: its path and its values.
void ExportSection(const Key& key, const std::string& reg_path, std::string& out)
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
}

// The key and everything under it, each key before its subkeys as regedit writes them. Walked with a
// stack of its own rather than by recursion, and with one path that grows and shrinks as the walk goes
// down and up: a key hundreds of levels deep costs the walk memory in proportion to its depth only.
void ExportKey(const Key& top, std::string reg_path, std::string& out)
{
    struct Level {
        const Key* key;
        size_t next;        // the subkey to visit next
        size_t path_length; // of reg_path at this key
    };
    std::vector<Level> stack;
    ExportSection(top, reg_path, out);
    stack.push_back({&top, 0, reg_path.size()});
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.key->subkeys.size()) {
            stack.pop_back();
            continue;
        }
        const Key& sub = *level.key->subkeys[level.next++];
        reg_path.resize(level.path_length);
        reg_path += '\\';
        reg_path += sub.name;
        ExportSection(sub, reg_path, out);
        stack.push_back({&sub, 0, reg_path.size()});
    }
}

// --- .reg import -------------------------------------------------------------------------------------

struct Op {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind; // as Registry::RegEntry's
    RegistryPath key;
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
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        return Utf8FromUtf16(Utf16FromLe({data + 2, bytes.size() - 2}));
    }
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF) {
        Fail(1, "UTF-16 big-endian text is not supported (use UTF-16LE or UTF-8)");
    }
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    if (const size_t valid = ValidUtf8Prefix(bytes); valid != bytes.size()) {
        Fail(1 + static_cast<int>(std::count(bytes.begin(), bytes.begin() + valid, '\n')), "invalid UTF-8");
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
        const char f = FoldAscii(c);
        if (f >= '0' && f <= '9') {
            v = v << 4 | static_cast<uint32_t>(f - '0');
        } else if (f >= 'A' && f <= 'F') {
            v = v << 4 | static_cast<uint32_t>(f - 'A' + 10);
        } else {
            return std::nullopt;
        }
    }
    return v;
}

// The hive-relative components of a section's key path ("HKEY_LOCAL_MACHINE\SYSTEM" -> Machine, SYSTEM).
// One trailing backslash is allowed, as Windows' regedit allows it and hivexregedit writes a root key
// ("[HKEY_LOCAL_MACHINE\SYSTEM\]").
RegistryPath ParseKeyPath(std::string_view path, int line)
{
    if (path.size() > 1 && path.back() == '\\') {
        path.remove_suffix(1);
    }
    RegistryPath parts;
    for (std::string_view part : PathParts(path)) {
        if (part.empty()) {
            Fail(line, "empty key name in [" + std::string(path) + "]");
        }
        if (!Expressible(part)) {
            Fail(line, "a carriage return inside a key name");
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

using Lines = std::vector<std::string_view>;

// The text's physical lines, without their line ends (LF or CR LF).
Lines SplitLines(const std::string& text)
{
    Lines lines;
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
    return lines;
}

// "[path]" creates the key and its parents; "[-path]" deletes the key with everything below it.
Op ParseSection(std::string_view l, int n)
{
    if (l.back() != ']') {
        Fail(n, "a key section must end with ']'");
    }
    std::string_view path = l.substr(1, l.size() - 2);
    const bool deleting = !path.empty() && path[0] == '-';
    if (deleting) {
        path.remove_prefix(1);
    }
    Op op{deleting ? Op::kDeleteKey : Op::kCreateKey, ParseKeyPath(path, n), {}, {}, n};
    if (op.key.size() > kMaxKeyDepth) {
        Fail(n, "the key is " + std::to_string(op.key.size()) + " levels deep; the registry holds keys " +
                    std::to_string(kMaxKeyDepth) + " levels deep at most");
    }
    if (deleting && op.key.size() == 1) {
        Fail(n, "a hive root cannot be deleted");
    }
    return op;
}

// What follows "hex": ":01,02" (REG_BINARY) or "(N):01,02" (type N). A list whose line ends in a
// backslash goes on over the lines after line `i`, which is left on the list's last line.
Registry::Value ParseHexData(std::string_view l, const Lines& lines, size_t& i)
{
    const int n = static_cast<int>(i + 1);
    Registry::Value value{REG_BINARY, {}};
    if (!l.empty() && l[0] == '(') {
        const size_t close = l.find(')');
        const std::optional<uint32_t> type =
            close == std::string_view::npos ? std::nullopt : ParseHexNumber(l.substr(1, close - 1), 8);
        if (!type) {
            Fail(n, "hex(N) needs a hex type number N");
        }
        value.type = *type;
        l.remove_prefix(close + 1);
    }
    if (l.empty() || l[0] != ':') {
        Fail(n, "expected ':' after hex");
    }
    int at = n;
    bool more = ParseHexPiece(l.substr(1), at, value.data);
    while (more) {
        // A dangling backslash more likely marks a lost line than a list meant to end there.
        if (++i == lines.size() || Trim(lines[i]).empty()) {
            Fail(at, "a hex list ends with '\\' but no bytes follow");
        }
        at = static_cast<int>(i + 1);
        more = ParseHexPiece(lines[i], at, value.data);
    }
    return value;
}

// The data after a value's '=': "text" (REG_SZ), dword:N, hex:..., hex(N):... or - (delete the value).
void ParseValueData(std::string_view l, const Lines& lines, size_t& i, Op& op)
{
    const int n = op.line;
    if (l == "-") {
        op.kind = Op::kDeleteValue;
    } else if (!l.empty() && l[0] == '"') {
        const std::string data = ParseQuoted(l, n);
        if (!Trim(l).empty()) {
            Fail(n, "unexpected text after the quoted string");
        }
        op.value = {REG_SZ, Utf16LeWithNul(data)};
    } else if (SameName(l.substr(0, 6), "dword:")) {
        const std::optional<uint32_t> v = ParseHexNumber(Trim(l.substr(6)), 8);
        if (!v) {
            Fail(n, "a dword needs 1 to 8 hex digits");
        }
        op.value = {REG_DWORD,
                    {static_cast<uint8_t>(*v), static_cast<uint8_t>(*v >> 8), static_cast<uint8_t>(*v >> 16),
                     static_cast<uint8_t>(*v >> 24)}};
    } else if (SameName(l.substr(0, 3), "hex")) {
        op.value = ParseHexData(l.substr(3), lines, i);
    } else {
        Fail(n, "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }
}

// `"name"=data`, or `@=data` for the key's default value, under the current section (none before the
// first).
Op ParseValueLine(std::string_view l, const std::optional<Op>& section, const Lines& lines, size_t& i)
{
    const int n = static_cast<int>(i + 1);
    std::string name;
    if (l[0] == '@') {
        l.remove_prefix(1);
    } else if (l[0] == '"') {
        name = ParseQuoted(l, n);
        if (!Expressible(name)) {
            Fail(n, "a carriage return inside a value name");
        }
    } else {
        Fail(n, "expected a [key] section, a quoted value name or @");
    }
    l = Trim(l);
    if (l.empty() || l[0] != '=') {
        Fail(n, "expected '=' after the value name");
    }
    l = Trim(l.substr(1));
    if (!section) {
        Fail(n, "value before the first [key] section");
    }
    if (section->kind == Op::kDeleteKey) {
        Fail(n, "value under a key section that deletes the key");
    }
    Op op{Op::kSetValue, section->key, std::move(name), {}, n};
    ParseValueData(l, lines, i, op);
    return op;
}

std::vector<Op> ParseRegText(std::string_view bytes)
{
    const std::string text = DecodeText(bytes);
    const Lines lines = SplitLines(text);
    std::vector<Op> ops;
    bool header = false;
    std::optional<Op> section; // the current one
    for (size_t i = 0; i < lines.size(); i++) {
        const int n = static_cast<int>(i + 1);
        const std::string_view l = Trim(lines[i]);
        if (l.empty() || l[0] == ';') {
            continue;
        }
        if (!header) {
            if (l != kHeader) {
                Fail(n, "expected \"" + std::string(kHeader) + "\" as the first line");
            }
            header = true;
        } else if (l[0] == '[') {
            section = ParseSection(l, n);
            ops.push_back(*section);
        } else {
            ops.push_back(ParseValueLine(l, section, lines, i));
        }
    }
    if (!header) {
        Fail(static_cast<int>(lines.size()), "no \"" + std::string(kHeader) + "\" header");
    }
    return ops;
}

std::string ReadRegFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw RegFileError(file + ": cannot be read");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `use` applied to the file's text; its error names the file before the line.
template <typename Use>
auto WithRegFile(const std::string& file, Use use)
{
    const std::string bytes = ReadRegFile(file);
    try {
        return use(bytes);
    } catch (const RegFileError& e) {
        throw RegFileError(file + ": " + e.what(), e.line());
    }
}

} // namespace

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
                Key* parent = root_->Walk(op.key, op.key.size() - 1);
                if (parent != nullptr) {
                    paths_.clear();
                    parent->RemoveSubKey(op.key.back());
                }
                break;
            }
            case Op::kSetValue:
                Create(op.key)->Store(op.name, op.value);
                break;
            case Op::kDeleteValue:
                Create(op.key)->RemoveValue(op.name);
                break;
        }
    }
}

void Registry::ImportRegFile(const std::string& file)
{
    WithRegFile(file, [this](const std::string& text) { ImportReg(text); });
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
    return WithRegFile(file, [](const std::string& text) { return ParseReg(text); });
}

std::string Registry::ExportReg(std::string_view root_path) const
{
    std::lock_guard lk(mu_);
    const std::optional<RegistryPath> parts = SplitRegistryPath(root_path);
    if (!parts || root_->Walk(*parts, parts->size()) == nullptr) {
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
        key = key->SubKey(part);
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

} // namespace sim
