// mcgen: the message compiler's work for the simulated build. It reads a message-compiler source (.mc)
// and writes
//  - the header the driver includes: each message's text as a comment and its symbolic name defined as
//    its id, in the message compiler's style;
//  - the message table as C++ data for the simulated event log (sim::MessageEntry), with a header that
//    declares it.
//
// Usage: mcgen INPUT.mc OUT_HEADER OUT_TABLE_CPP OUT_TABLE_H ARRAY_NAME
//
// The source is UTF-8 (a byte order mark is skipped). Header statements: MessageIdTypedef, OutputBase,
// SeverityNames, FacilityNames, LanguageNames; then messages: MessageId (empty: the facility's previous
// id + 1; +N: the previous + N), Severity and Facility (default: the previous message's), SymbolicName,
// and one Language=Name line per language, each followed by text lines up to a line holding a single
// '.'. Lines starting with ';' go to the header without the ';'. Each text line becomes its text followed
// by CR/LF, whatever line end the source has. The table holds the texts of the first language declared.
// A message id is severity << 30 | facility << 16 | id, the customer bit clear.
//
// Malformed input is reported as FILE:LINE: error: TEXT with exit status 1, and nothing is written.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

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

std::string_view Trim(std::string_view s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) {
        return {};
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool SameWord(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsIdentifier(std::string_view s)
{
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::optional<uint32_t> Number(std::string_view s)
{
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 10) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (char c : s) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : base == 16 && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0) {
            return std::nullopt;
        }
        v = v * base + d;
    }
    if (v > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

// The code points of a UTF-8 text; nothing when it is ill-formed.
std::optional<std::vector<char32_t>> DecodeUtf8(std::string_view s)
{
    std::vector<char32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || i + extra >= s.size()) {
            return std::nullopt;
        }
        char32_t cp = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; k++) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) {
                return std::nullopt;
            }
            cp = cp << 6 | (c & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return std::nullopt;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

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

class Parser {
public:
    Parser(std::vector<std::string> lines) : lines_(std::move(lines)) {}

    Source Parse()
    {
        while (next_ < lines_.size()) {
            const int line = static_cast<int>(next_) + 1;
            const std::string raw = lines_[next_++];
            const std::string_view text = Trim(raw);
            if (text.empty()) {
                continue;
            }
            if (text[0] == ';') {
                src_.items.push_back({false, std::string(text.substr(1)), 0});
                continue;
            }
            const size_t eq = text.find('=');
            if (eq == std::string_view::npos) {
                throw McError{line, "expected Keyword=Value, found \"" + std::string(text) + "\""};
            }
            Statement(line, Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
        }
        FinishMessage();
        return std::move(src_);
    }

private:
    void Statement(int line, std::string_view key, std::string_view value)
    {
        if (SameWord(key, "MessageId")) {
            FinishMessage();
            StartMessage(line, value);
        } else if (SameWord(key, "Severity") || SameWord(key, "Facility")) {
            RequireMessage(line, key);
            if (!current_->texts.empty()) {
                throw McError{line, std::string(key) + " after the message's text"};
            }
            const bool severity = SameWord(key, "Severity");
            const Name& n = Lookup(line, severity ? src_.severities : src_.facilities, value,
                                   severity ? "severity" : "facility");
            (severity ? severity_ : facility_) = n.value;
        } else if (SameWord(key, "SymbolicName")) {
            RequireMessage(line, key);
            if (!IsIdentifier(value)) {
                throw McError{line, "SymbolicName \"" + std::string(value) + "\" is not a C identifier"};
            }
            for (const Message& m : src_.messages) {
                if (m.symbol == value) {
                    throw McError{line, "SymbolicName " + std::string(value) +
                                            " is already defined at line " + std::to_string(m.line)};
                }
            }
            current_->symbol = value;
        } else if (SameWord(key, "Language")) {
            RequireMessage(line, key);
            Language(line, value);
        } else if (current_ != nullptr || !src_.messages.empty()) {
            throw McError{line, "\"" + std::string(key) + "\" is not a message statement"};
        } else if (SameWord(key, "MessageIdTypedef")) {
            if (!IsIdentifier(value)) {
                throw McError{line, "MessageIdTypedef \"" + std::string(value) + "\" is not a C identifier"};
            }
            src_.typedef_name = value;
        } else if (SameWord(key, "OutputBase")) {
            if (value != "10" && value != "16") {
                throw McError{line, "OutputBase must be 10 or 16"};
            }
            src_.output_base = value == "10" ? 10 : 16;
        } else if (SameWord(key, "SeverityNames")) {
            src_.severities = NameList(line, value, 3, false);
            src_.severities_declared = true;
        } else if (SameWord(key, "FacilityNames")) {
            src_.facilities = NameList(line, value, 0xFFF, false);
            src_.facilities_declared = true;
        } else if (SameWord(key, "LanguageNames")) {
            src_.languages = NameList(line, value, 0xFFFF, true);
        } else {
            throw McError{line, "unknown keyword \"" + std::string(key) + "\""};
        }
    }

    // "(Name=Number:Symbol ...)", possibly over several lines.
    std::vector<Name> NameList(int line, std::string_view first, uint32_t max, bool symbol_required)
    {
        if (first.empty() || first[0] != '(') {
            throw McError{line, "expected a parenthesized list of Name=Number:Symbol"};
        }
        std::string body(first.substr(1));
        while (body.find(')') == std::string::npos) {
            if (next_ == lines_.size()) {
                throw McError{line, "list not closed by ')'"};
            }
            body += ' ' + lines_[next_++];
        }
        const size_t close = body.find(')');
        if (!Trim(std::string_view(body).substr(close + 1)).empty()) {
            throw McError{static_cast<int>(next_), "text after the list's ')'"};
        }
        body.resize(close);
        // Spaces around '=' and ':' are allowed; entries are separated by white space.
        std::replace(body.begin(), body.end(), '\t', ' ');
        for (const char* sep : {"=", ":"}) {
            for (size_t p; (p = body.find(std::string(" ") + sep)) != std::string::npos ||
                           (p = body.find(std::string(sep) + " ")) != std::string::npos;) {
                body.erase(body[p] == ' ' ? p : p + 1, 1);
            }
        }
        std::vector<Name> names;
        std::istringstream in(body);
        for (std::string entry; in >> entry;) {
            const size_t eq = entry.find('=');
            const size_t colon = entry.find(':');
            Name n{entry.substr(0, eq), 0, colon == std::string::npos ? "" : entry.substr(colon + 1)};
            const auto v =
                eq == std::string::npos ? std::nullopt : Number(entry.substr(eq + 1, colon - eq - 1));
            if (!IsIdentifier(n.name) || !v || *v > max || (!n.symbol.empty() && !IsIdentifier(n.symbol)) ||
                (symbol_required && n.symbol.empty()) || (colon != std::string::npos && n.symbol.empty())) {
                throw McError{line, "malformed list entry \"" + entry + "\""};
            }
            n.value = *v;
            names.push_back(std::move(n));
        }
        if (names.empty()) {
            throw McError{line, "empty list"};
        }
        return names;
    }

    const Name& Lookup(int line, const std::vector<Name>& names, std::string_view name, const char* what)
    {
        for (const Name& n : names) {
            if (SameWord(n.name, name)) {
                return n;
            }
        }
        throw McError{line, std::string("unknown ") + what + " name \"" + std::string(name) + "\""};
    }

    void RequireMessage(int line, std::string_view key)
    {
        if (current_ == nullptr) {
            throw McError{line, std::string(key) + " outside a message: a message starts with MessageId="};
        }
    }

    void StartMessage(int line, std::string_view value)
    {
        if (src_.first_message_item == std::string::npos) {
            src_.first_message_item = src_.items.size();
        }
        id_value_ = value;
        if (!value.empty() && !Number(value[0] == '+' ? value.substr(1) : value)) {
            throw McError{line, "MessageId \"" + std::string(value) + "\" is not a number"};
        }
        src_.messages.push_back(Message{line, 0, "", {}});
        current_ = &src_.messages.back();
        src_.items.push_back({true, "", src_.messages.size() - 1});
    }

    // The id is settled at the first Language line, once severity and facility are known.
    void SettleId(int line)
    {
        uint32_t code = 0;
        const auto previous = last_code_.find(facility_);
        if (id_value_.empty() || id_value_[0] == '+') {
            const uint32_t step = id_value_.empty() ? 1 : *Number(id_value_.substr(1));
            code = (previous != last_code_.end() ? previous->second : 0) + step;
        } else {
            code = *Number(id_value_);
        }
        if (code > 0xFFFF) {
            throw McError{current_->line, "MessageId " + std::to_string(code) + " is larger than 0xFFFF"};
        }
        last_code_[facility_] = code;
        current_->id = severity_ << 30 | facility_ << 16 | code;
        for (const Message& m : src_.messages) {
            if (&m != current_ && m.id == current_->id && !m.texts.empty()) {
                throw McError{line, "message id already used at line " + std::to_string(m.line)};
            }
        }
    }

    void Language(int line, std::string_view value)
    {
        const Name& lang = Lookup(line, src_.languages, value, "language");
        if (current_->texts.empty()) {
            SettleId(line);
        }
        for (const auto& [name, text] : current_->texts) {
            if (name == lang.name) {
                throw McError{line, "a second text in " + lang.name + " for this message"};
            }
        }
        std::string text;
        for (;;) {
            if (next_ == lines_.size()) {
                throw McError{line, "message text not ended by a line holding a single '.'"};
            }
            const int text_line = static_cast<int>(next_) + 1;
            const std::string& l = lines_[next_++];
            if (l == ".") {
                break;
            }
            if (!DecodeUtf8(l)) {
                throw McError{text_line, "text is not valid UTF-8"};
            }
            text += l + "\r\n";
        }
        current_->texts.emplace_back(lang.name, std::move(text));
    }

    void FinishMessage()
    {
        if (current_ == nullptr) {
            return;
        }
        const std::string& table_language = src_.languages.front().name;
        if (std::none_of(current_->texts.begin(), current_->texts.end(),
                         [&](const auto& t) { return t.first == table_language; })) {
            throw McError{current_->line, "message has no text in " + table_language};
        }
        current_ = nullptr;
    }

    std::vector<std::string> lines_;
    size_t next_ = 0;
    Source src_;
    Message* current_ = nullptr;
    std::string id_value_;
    uint32_t severity_ = 0;
    uint32_t facility_ = 0;
    std::map<uint32_t, uint32_t> last_code_; // by facility
};

// The file's lines without their line ends (CR/LF, LF or a lone CR at the end).
std::vector<std::string> ReadLines(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw McError{0, "cannot read the file"};
    }
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (all.starts_with("\xEF\xBB\xBF")) {
        all.erase(0, 3);
    }
    std::vector<std::string> lines;
    std::istringstream s(all);
    for (std::string l; std::getline(s, l);) {
        if (!l.empty() && l.back() == '\r') {
            l.pop_back();
        }
        lines.push_back(std::move(l));
    }
    return lines;
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
        src = Parser(ReadLines(input)).Parse();
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
