// The message compiler's source (.mc) as mcgen reads it: the header statements, the messages with their
// ids settled and their texts in each language, and the comment lines in source order. The reader checks
// everything mcgen writes from, so the writers need not.
//
// The source is UTF-8 (a byte order mark is skipped). Header statements: MessageIdTypedef, OutputBase,
// SeverityNames, FacilityNames, LanguageNames; then messages: MessageId (empty: the facility's previous
// id + 1; +N: the previous + N), Severity and Facility (default: the previous message's), SymbolicName,
// and one Language=Name line per language, each followed by text lines up to a line holding a single
// '.'. Lines starting with ';' go to the header without the ';'. Each text line becomes its text followed
// by CR/LF, whatever line end the source has. The table holds the texts of the first language declared.
// A message id is severity << 30 | facility << 16 | id, the customer bit clear.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mcgen {

// Malformed input: the line (0: the file as a whole) and what is wrong.
struct McError {
    int line;
    std::string text;
};

struct Name {
    std::string name;
    uint32_t value;
    std::string symbol; // may be empty
};

struct Message {
    int line = 0;
    uint32_t id = 0;
    std::string symbol;
    std::vector<std::pair<std::string, std::string>> texts; // language name, UTF-8 text with CR/LF
};

// What the header holds, in source order: comment lines and messages.
struct HeaderItem {
    bool is_message;
    std::string comment;
    size_t message = 0;
};

struct Source {
    std::string typedef_name;
    int output_base = 16;
    std::vector<Name> severities{
        {"Success", 0, ""}, {"Informational", 1, ""}, {"Warning", 2, ""}, {"Error", 3, ""}};
    std::vector<Name> facilities{{"System", 0x0FF, ""}, {"Application", 0xFFF, ""}};
    std::vector<Name> languages{{"English", 0x409, "MSG00409"}};
    bool severities_declared = false;
    bool facilities_declared = false;
    std::vector<Message> messages;
    std::vector<HeaderItem> items;
    size_t first_message_item = std::string::npos; // where the value layout and name defines go
};

// Reads a source file; throws McError.
Source ReadSource(const std::string& file);

bool IsIdentifier(std::string_view s);
// The code points of a UTF-8 text; nothing when it is ill-formed.
std::optional<std::vector<char32_t>> DecodeUtf8(std::string_view s);

} // namespace mcgen
