#include "inf.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "sim/device_security.h"
#include "sim/registry.h"

namespace quavinf {
namespace {

// INF AddReg flags.
constexpr unsigned kFlagString = 0x00000000;  // FLG_ADDREG_TYPE_SZ
constexpr unsigned kFlagKeyOnly = 0x00000010; // FLG_ADDREG_KEYONLY
constexpr unsigned kFlagDword = 0x00010001;   // FLG_ADDREG_TYPE_DWORD

[[noreturn]] void Fail(int line, const std::string& what)
{
    throw sim::RegFileError("line " + std::to_string(line) + ": " + what, line);
}

char Fold(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The key's path below the service key ("" for the service key itself); none for a key elsewhere.
std::optional<std::string> BelowService(std::string_view key)
{
    if (key.size() < kServiceKey.size() ||
        (key.size() > kServiceKey.size() && key[kServiceKey.size()] != '\\')) {
        return std::nullopt;
    }
    for (size_t i = 0; i < kServiceKey.size(); i++) {
        if (Fold(key[i]) != Fold(kServiceKey[i])) {
            return std::nullopt;
        }
    }
    return std::string(key.substr(std::min(key.size(), kServiceKey.size() + 1)));
}

// A key as a .reg file spells it, for messages.
std::string RegSpelling(std::string_view key)
{
    for (auto [kernel, reg] : {std::pair{"\\REGISTRY\\Machine", "HKEY_LOCAL_MACHINE"},
                               std::pair{"\\REGISTRY\\User", "HKEY_USERS"}}) {
        const std::string_view k = kernel;
        if (key.substr(0, k.size()) == k) {
            return reg + std::string(key.substr(k.size()));
        }
    }
    return std::string(key);
}

bool Printable(std::string_view text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// A REG_SZ's UTF-16LE bytes as ASCII; none when a character has no place in an ASCII INF.
std::optional<std::string> AsciiString(const std::vector<uint8_t>& data)
{
    std::string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const unsigned unit = data[i] | data[i + 1] << 8;
        if (unit == 0 && i + 2 >= data.size()) {
            break; // the terminator
        }
        if (unit < 0x20 || unit > 0x7E) {
            return std::nullopt;
        }
        out += static_cast<char>(unit);
    }
    return out;
}

// One field of an AddReg line: plain when it needs no quoting, otherwise quoted, with " doubled and
// % doubled (the INF's own escape, which would otherwise start a string substitution).
std::string Field(std::string_view text, bool quote)
{
    for (char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '_' || c == '.' || c == '-' || c == '\\';
        quote = quote || !plain;
    }
    if (!quote) {
        return std::string(text);
    }
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"' || c == '%') {
            out += c;
        }
    }
    return out + "\"";
}

std::string Line(const std::string& key, const std::string& name, unsigned flags, const std::string& data)
{
    char flag_text[16];
    std::snprintf(flag_text, sizeof flag_text, "0x%08x", flags);
    std::string line = "HKR," + Field(key, false) + "," + Field(name, false) + "," + flag_text;
    return data.empty() ? line : line + "," + data;
}

void EmitKey(const sim::Registry& reg, const std::string& path, const std::string& relative,
             std::vector<std::string>& out)
{
    const std::vector<std::string> values = reg.Values(path);
    const std::vector<std::string> subkeys = reg.SubKeys(path);
    for (const std::string& name : values) {
        const sim::Registry::Value value = *reg.GetValue(path, name);
        if (value.type == REG_DWORD) {
            char number[16];
            std::snprintf(number, sizeof number, "0x%08x", *reg.GetDword(path, name));
            out.push_back(Line(relative, name, kFlagDword, number));
        } else {
            out.push_back(Line(relative, name, kFlagString, Field(*AsciiString(value.data), true)));
        }
    }
    if (values.empty() && subkeys.empty() && !relative.empty()) {
        out.push_back(Line(relative, "", kFlagKeyOnly, ""));
    }
    for (const std::string& sub : subkeys) {
        EmitKey(reg, path + "\\" + sub, relative.empty() ? sub : relative + "\\" + sub, out);
    }
}

} // namespace

std::vector<std::string> ConfigAddReg(std::string_view reg_text)
{
    sim::Registry reg;
    bool any = false;
    for (const sim::Registry::RegEntry& e : sim::Registry::ParseReg(reg_text)) {
        const std::optional<std::string> relative = BelowService(e.key);
        if (!relative) {
            Fail(e.line, "[" + RegSpelling(e.key) + "] is not the service key " + RegSpelling(kServiceKey) +
                             " or below it");
        }
        if (!Printable(*relative)) {
            Fail(e.line, "a key name with other than printable ASCII characters");
        }
        switch (e.kind) {
            case sim::Registry::RegEntry::kDeleteKey:
                Fail(e.line, "an INF installs keys; it cannot delete [" + RegSpelling(e.key) + "]");
            case sim::Registry::RegEntry::kDeleteValue:
                Fail(e.line, "an INF installs values; it cannot delete \"" + e.name + "\"");
            case sim::Registry::RegEntry::kCreateKey:
                reg.CreateKey(e.key);
                break;
            case sim::Registry::RegEntry::kSetValue:
                if (e.value.type != REG_DWORD && e.value.type != REG_SZ) {
                    Fail(e.line, "\"" + e.name + "\" is neither a dword: nor a \"string\" value");
                }
                if (!Printable(e.name)) {
                    Fail(e.line, "a value name with other than printable ASCII characters");
                }
                if (e.value.type == REG_SZ && !AsciiString(e.value.data)) {
                    Fail(e.line, "\"" + e.name + "\" holds other than printable ASCII characters");
                }
                reg.SetValue(e.key, e.name, e.value.type, e.value.data);
                break;
        }
        any = true;
    }
    if (!any) {
        throw sim::RegFileError("no key of the service key " + RegSpelling(kServiceKey));
    }
    std::vector<std::string> lines;
    EmitKey(reg, std::string(kServiceKey), "", lines);
    return lines;
}

namespace {

// The decimal numbers of `text` between `separator`s, the n-th of 1 to digits[n] digits; none if malformed.
std::optional<std::vector<int>> Numbers(std::string_view text, char separator, std::vector<size_t> digits)
{
    std::vector<int> numbers;
    for (size_t width : digits) {
        size_t n = 0;
        int value = 0;
        while (n < text.size() && text[n] >= '0' && text[n] <= '9' && n < width) {
            value = value * 10 + (text[n++] - '0');
        }
        if (n == 0) {
            return std::nullopt;
        }
        numbers.push_back(value);
        text.remove_prefix(n);
        if (numbers.size() < digits.size()) {
            if (text.empty() || text[0] != separator) {
                return std::nullopt;
            }
            text.remove_prefix(1);
        }
    }
    return text.empty() ? std::optional(numbers) : std::nullopt;
}

void CheckDriverVersion(const DriverVersion& v)
{
    const std::optional<std::vector<int>> date = Numbers(v.date, '/', {2, 2, 4});
    if (!date || v.date.size() != 10 || (*date)[0] < 1 || (*date)[0] > 12 || (*date)[1] < 1 ||
        (*date)[1] > 31) {
        throw std::invalid_argument("driver date '" + v.date + "' is not MM/DD/YYYY");
    }
    const std::optional<std::vector<int>> version = Numbers(v.version, '.', {5, 5, 5, 5});
    if (!version || std::any_of(version->begin(), version->end(), [](int part) { return part > 65535; })) {
        throw std::invalid_argument("driver version '" + v.version +
                                    "' is not w.x.y.z with parts of 0 to 65535");
    }
}

// The first @NAME@ of the line (NAME of capitals and underscores), or "".
std::string Placeholder(const std::string& line)
{
    for (size_t at = line.find('@'); at != std::string::npos; at = line.find('@', at + 1)) {
        size_t end = at + 1;
        while (end < line.size() && ((line[end] >= 'A' && line[end] <= 'Z') || line[end] == '_')) {
            end++;
        }
        if (end > at + 1 && end < line.size() && line[end] == '@') {
            return line.substr(at, end - at + 1);
        }
    }
    return "";
}

[[noreturn]] void TemplateFail(int line, const std::string& what)
{
    throw TemplateError("line " + std::to_string(line) + ": " + what);
}

// The number of places replaced.
int Replace(std::string& line, std::string_view placeholder, std::string_view text)
{
    int count = 0;
    for (size_t at = line.find(placeholder); at != std::string::npos; at = line.find(placeholder, at)) {
        line.replace(at, placeholder.size(), text);
        at += text.size();
        count++;
    }
    return count;
}

} // namespace

std::string GenerateInf(std::string_view inf_template, std::string_view reg_text,
                        const DriverVersion& version)
{
    CheckDriverVersion(version);
    const std::vector<std::string> config = ConfigAddReg(reg_text);

    std::string out;
    int config_lines = 0;
    int security = 0;
    int characteristics = 0;
    char characteristics_text[16];
    std::snprintf(characteristics_text, sizeof characteristics_text, "0x%08x",
                  static_cast<unsigned>(sim::kPackageDeviceCharacteristics));
    int n = 0;
    for (size_t pos = 0; pos < inf_template.size();) {
        size_t end = inf_template.find('\n', pos);
        if (end == std::string_view::npos) {
            end = inf_template.size();
        }
        std::string line(inf_template.substr(pos, end - pos));
        pos = end + 1;
        n++;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        for (unsigned char c : line) {
            if ((c < 0x20 && c != '\t') || c > 0x7E) {
                TemplateFail(n, "other than printable ASCII characters");
            }
        }
        if (line == "@CONFIG_ADDREG@") {
            config_lines++;
            for (const std::string& l : config) {
                out += l + "\r\n";
            }
            continue;
        }
        Replace(line, "@DRIVER_DATE@", version.date);
        Replace(line, "@DRIVER_VERSION@", version.version);
        security += Replace(line, "@DEVICE_SECURITY@", sim::kPackageDeviceSecurity);
        characteristics += Replace(line, "@DEVICE_CHARACTERISTICS@", characteristics_text);
        if (const std::string p = Placeholder(line); !p.empty()) {
            TemplateFail(n, p == "@CONFIG_ADDREG@" ? "@CONFIG_ADDREG@ must stand alone on its line"
                                                   : "unknown placeholder " + p);
        }
        out += line + "\r\n";
    }
    if (config_lines != 1) {
        throw TemplateError("the template needs exactly one @CONFIG_ADDREG@ line, not " +
                            std::to_string(config_lines));
    }
    if (security != 1 || characteristics != 1) {
        throw TemplateError(
            "the template needs @DEVICE_SECURITY@ and @DEVICE_CHARACTERISTICS@ once each, not " +
            std::to_string(security) + " and " + std::to_string(characteristics) + " times");
    }
    return out;
}

} // namespace quavinf
