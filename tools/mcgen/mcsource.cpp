#include "mcsource.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace mcgen {

bool IsIdentifier(std::string_view s)
{
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

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

namespace {

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

} // namespace

Source ReadSource(const std::string& file)
{
    return Parser(ReadLines(file)).Parse();
}

} // namespace mcgen
