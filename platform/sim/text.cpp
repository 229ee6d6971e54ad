#include "text.h"

#include <algorithm>

namespace sim {
namespace {

// Decodes one code point; false (consuming one byte) on an ill-formed sequence: a stray continuation
// byte, a truncated or overlong sequence, a surrogate or a value past U+10FFFF.
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

template <typename Char>
bool SameFolded(std::basic_string_view<Char> a, std::basic_string_view<Char> b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](Char x, Char y) { return FoldAscii(x) == FoldAscii(y); });
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

size_t ValidUtf8Prefix(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t at = i;
        char32_t cp;
        if (!NextUtf8(text, i, cp)) {
            return at;
        }
    }
    return text.size();
}

std::vector<uint8_t> Utf16LeWithNul(std::string_view utf8)
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

std::u16string Utf16FromLe(std::span<const uint8_t> bytes)
{
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    }
    return units;
}

std::u16string FoldName(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) {
        c = FoldAscii(c);
    }
    return out;
}

bool SameName(std::string_view a, std::string_view b)
{
    return SameFolded(a, b);
}

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return SameFolded(a, b);
}

} // namespace sim
