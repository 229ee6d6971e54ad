// mcgen: the message compiler's work for the simulated build. It reads a message-compiler source (.mc)
// and writes
//  - the header the driver includes: each message's text as a comment and its symbolic name defined as
//    its id, in the message compiler's style;
//  - the message table as C++ data for the simulated event log (sim::MessageEntry), with a header that
//    declares it.
//
// Usage: mcgen INPUT.mc OUT_HEADER OUT_TABLE_CPP OUT_TABLE_H ARRAY_NAME
//
// The source and what is accepted in it: mcsource.h.
//
// Malformed input is reported as FILE:LINE: error: TEXT with exit status 1, and nothing is written.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "mcsource.h"

namespace {

using mcgen::DecodeUtf8;
using mcgen::HeaderItem;
using mcgen::IsIdentifier;
using mcgen::McError;
using mcgen::Message;
using mcgen::Name;
using mcgen::Source;

// A u"" literal of the text's UTF-16 form. Escapes are octal (they end after three digits, so a digit
// after one cannot extend it) or universal character names.
std::string Utf16Literal(std::string_view utf8)
{
    std::string out = "u\"";
    const std::vector<char32_t> text = DecodeUtf8(utf8).value(); // checked when it was read
    for (char32_t cp : text) {
        char buf[16];
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp == '\r' || cp == '\n' || cp == '\t') {
            out += cp == '\r' ? "\\r" : cp == '\n' ? "\\n" : "\\t";
        } else if (cp >= 0x20 && cp < 0x7F) {
            out += static_cast<char>(cp);
        } else if (cp < 0xA0) {
            std::snprintf(buf, sizeof buf, "\\%03o", static_cast<unsigned>(cp));
            out += buf;
        } else if (cp < 0x10000) {
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(cp));
            out += buf;
        } else {
            std::snprintf(buf, sizeof buf, "\\U%08X", static_cast<unsigned>(cp));
            out += buf;
        }
    }
    return out + "\"";
}

std::string Define(const std::string& symbol, const std::string& value)
{
    std::string s = "#define " + symbol;
    s.resize(std::max<size_t>(s.size() + 1, 41), ' ');
    return s + value + "\n";
}

std::string Value(const Source& src, uint32_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, src.output_base == 16 ? "0x%X" : "%u", v);
    return buf;
}

const char kLayout[] = R"(//
//  Values are 32 bit values laid out as follows:
//
//   3 3 2 2 2 2 2 2 2 2 2 2 1 1 1 1 1 1 1 1 1 1
//   1 0 9 8 7 6 5 4 3 2 1 0 9 8 7 6 5 4 3 2 1 0 9 8 7 6 5 4 3 2 1 0
//  +---+-+-+-----------------------+-------------------------------+
//  |Sev|C|R|     Facility          |               Code            |
//  +---+-+-+-----------------------+-------------------------------+
//
//  where
//
//      Sev - is the severity code
//
//          00 - Success
//          01 - Informational
//          10 - Warning
//          11 - Error
//
//      C - is the Customer code flag
//
//      R - is a reserved bit
//
//      Facility - is the facility code
//
//      Code - is the facility's status code
//
)";

std::string NameDefines(const char* title, const std::vector<Name>& names, const Source& src)
{
    std::string s = std::string("//\n// Define the ") + title + " codes\n//\n";
    for (const Name& n : names) {
        if (!n.symbol.empty()) {
            s += Define(n.symbol, Value(src, n.value));
        }
    }
    return s + "\n";
}

std::string Header(const Source& src)
{
    std::string out = "#pragma once\n\n";
    const std::string table_language = src.languages.front().name;
    for (size_t i = 0; i <= src.items.size(); i++) {
        if (i == src.first_message_item ||
            (i == src.items.size() && src.first_message_item == std::string::npos)) {
            out += kLayout;
            if (src.facilities_declared) {
                out += NameDefines("facility", src.facilities, src);
            }
            if (src.severities_declared) {
                out += NameDefines("severity", src.severities, src);
            }
        }
        if (i == src.items.size()) {
            break;
        }
        const HeaderItem& item = src.items[i];
        if (!item.is_message) {
            out += item.comment + "\n";
            continue;
        }
        const Message& m = src.messages[item.message];
        out += "//\n// MessageId: " + m.symbol + "\n//\n// MessageText:\n//\n";
        const auto text = std::find_if(m.texts.begin(), m.texts.end(),
                                       [&](const auto& t) { return t.first == table_language; });
        std::istringstream lines(text->second);
        for (std::string l; std::getline(lines, l);) {
            l.pop_back(); // the CR
            // A comment line ending in a backslash would swallow the next line.
            out += l.empty() ? "//\n" : "// " + l + (l.back() == '\\' ? " //" : "") + "\n";
        }
        out += "//\n";
        if (!m.symbol.empty()) {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08XL", m.id);
            out += Define(m.symbol, src.typedef_name.empty() ? id : "((" + src.typedef_name + ")" + id + ")");
        }
        out += "\n";
    }
    return out;
}

std::string TableHeader(const Source& src, const std::string& input, const std::string& array)
{
    return "// The message table of " + input + ", made by mcgen: do not edit.\n#pragma once\n\n" +
           "#include <array>\n\n#include \"sim/eventlog.h\"\n\nextern const std::array<sim::MessageEntry, " +
           std::to_string(src.messages.size()) + "> " + array + ";\n";
}

std::string TableSource(const Source& src, const std::string& input, const std::string& include,
                        const std::string& array)
{
    std::string out = "// The message table of " + input + ", made by mcgen: do not edit.\n#include \"" +
                      include + "\"\n\nextern const std::array<sim::MessageEntry, " +
                      std::to_string(src.messages.size()) + "> " + array + " = {{\n";
    const std::string& table_language = src.languages.front().name;
    for (const Message& m : src.messages) {
        const auto text = std::find_if(m.texts.begin(), m.texts.end(),
                                       [&](const auto& t) { return t.first == table_language; });
        char id[16];
        std::snprintf(id, sizeof id, "0x%08Xu", m.id);
        out += std::string("    {") + id + ", " + Utf16Literal(text->second) + "},";
        out += m.symbol.empty() ? "\n" : " // " + m.symbol + "\n";
    }
    return out + "}};\n";
}

void Write(const std::string& file, const std::string& content)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        std::cerr << file << ": error: cannot write the file\n";
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "usage: mcgen INPUT.mc OUT_HEADER OUT_TABLE_CPP OUT_TABLE_H ARRAY_NAME\n";
        return 2;
    }
    const std::string input = argv[1], header = argv[2], table_cpp = argv[3], table_h = argv[4],
                      array = argv[5];
    if (!IsIdentifier(array)) {
        std::cerr << "mcgen: ARRAY_NAME \"" << array << "\" is not a C++ identifier\n";
        return 2;
    }
    Source src;
    try {
        src = mcgen::ReadSource(input);
    } catch (const McError& e) {
        std::cerr << input << (e.line > 0 ? ":" + std::to_string(e.line) : "") << ": error: " << e.text
                  << "\n";
        return 1;
    }
    namespace fs = std::filesystem;
    const std::string name = fs::path(input).filename().string();
    const fs::path cpp_dir = fs::absolute(table_cpp).parent_path();
    const std::string include = fs::absolute(table_h).lexically_relative(cpp_dir).generic_string();
    Write(header, Header(src));
    Write(table_h, TableHeader(src, name, array));
    Write(table_cpp, TableSource(src, name, include, array));
    return 0;
}
