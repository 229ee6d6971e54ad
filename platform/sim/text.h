// Text as the platform handles it: UTF-8 on the host's side (reports, the registry's API, tools), UTF-16
// on the driver's (counted strings, device names, registry data), and names that compare without regard
// to case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// UTF-8 <-> UTF-16 for names and string values; ill-formed input becomes U+FFFD.
std::string Utf8FromUtf16(std::u16string_view text);
std::u16string Utf16FromUtf8(std::string_view text);
// How many leading bytes of `text` are well-formed UTF-8: text.size() when all of it is.
size_t ValidUtf8Prefix(std::string_view text);

// Strings as Windows stores them in data: UTF-16 little-endian code units. The first adds the
// terminating NUL a REG_SZ carries; the second drops an odd last byte.
std::vector<uint8_t> Utf16LeWithNul(std::string_view utf8);
std::u16string Utf16FromLe(std::span<const uint8_t> bytes);

// Object and registry names compare with ASCII letters folded (to upper case, as the kernel's upcase
// table does for them); any other character compares as it is.
template <typename Char>
constexpr Char FoldAscii(Char c)
{
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}
std::u16string FoldName(std::u16string_view name); // the key a name is found by
bool SameName(std::string_view a, std::string_view b);
bool SameName(std::u16string_view a, std::u16string_view b);

} // namespace sim
