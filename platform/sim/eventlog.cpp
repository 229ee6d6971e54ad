#include "format.h"
#include "eventlog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform.h"
#include "pool.h"
#include "text.h"
#include "verifier.h"

namespace sim {
namespace {

constexpr size_t kHeaderSize = sizeof(IO_ERROR_LOG_PACKET);
constexpr size_t kDumpOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);

// Insertion strings as the event viewer's FormatMessage call fills them in: %1..%99 (an optional
// printf-style !format! after the number is dropped, the arguments being strings already), a missing
// one as empty text; %% %. %! stand for the character, %n %r %t %b for a line end, CR, tab and space;
// %0 ends the message without its final line end.
std::u16string Render(std::u16string_view text, const std::vector<std::u16string>& args)
{
    std::u16string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != u'%' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char16_t c = text[++i];
        if (c >= u'1' && c <= u'9') {
            size_t n = c - u'0';
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') {
                n = n * 10 + (text[++i] - u'0');
            }
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                const size_t close = text.find(u'!', i + 2);
                if (close != std::u16string_view::npos) {
                    i = close;
                }
            }
            if (n <= args.size()) {
                out += args[n - 1];
            }
            continue;
        }
        switch (c) {
            case u'0':
                return out;
            case u'n':
                out += u"\r\n";
                break;
            case u'r':
                out += u'\r';
                break;
            case u't':
                out += u'\t';
                break;
            case u'b':
                out += u' ';
                break;
            case u'%':
            case u'.':
            case u'!':
                out += c;
                break;
            default:
                out += u'%';
                out += c;
                break;
        }
    }
    return out;
}

// The viewer's wording when a source's message file lacks the id.
std::string MissingMessage(const EventRecord& r)
{
    std::string message = "The description for Event ID " + std::to_string(r.event_id) + " from source " +
                          r.source + " cannot be found.";
    if (!r.strings.empty()) {
        message += " The following information was included with the event:";
        for (const std::string& s : r.strings) {
            message += " " + s + (&s != &r.strings.back() ? ";" : "");
        }
    }
    return message + "\r\n";
}

std::string TrimLineEnd(std::string s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) {
        s.pop_back();
    }
    return s;
}

const char* SeverityWord(EventSeverity s)
{
    switch (s) {
        case EventSeverity::Success:
            return "success";
        case EventSeverity::Informational:
            return "informational";
        case EventSeverity::Warning:
            return "warning";
        case EventSeverity::Error:
            return "error";
    }
    return "?";
}

// The viewer's level column. It shows success entries as information too: the log keeps no separate
// level for them.
const char* LevelWord(EventSeverity s)
{
    switch (s) {
        case EventSeverity::Warning:
            return "Warning";
        case EventSeverity::Error:
            return "Error";
        default:
            return "Information";
    }
}

} // namespace

EventLog::EventLog(Verifier& verifier, Pool& pool, std::function<Ticks()> clock)
    : verifier_(verifier), pool_(pool), clock_(std::move(clock))
{
}

void EventLog::Report(std::string text)
{
    verifier_.Report("eventlog", std::move(text));
}

void EventLog::RegisterSource(const void* io_object, std::string source, std::string object_name,
                              std::span<const MessageEntry> table)
{
    Source s{std::move(source), Utf16FromUtf8(object_name), {}};
    for (const MessageEntry& e : table) {
        s.texts.emplace(e.id, std::u16string(e.text));
    }
    std::lock_guard lk(mu_);
    sources_[io_object] = std::move(s);
}

void* EventLog::AllocateEntry(const void* io_object, unsigned entry_size)
{
    if (io_object == nullptr) {
        Report("IoAllocateErrorLogEntry with a NULL IoObject");
        return nullptr;
    }
    if (entry_size < kHeaderSize || entry_size > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    std::lock_guard lk(mu_);
    if (fail_count_ != 0) {
        if (fail_count_ > 0) {
            fail_count_--;
        }
        return nullptr;
    }
    void* p = pool_.Allocate(NonPagedPool, entry_size, kPacketTag);
    if (p == nullptr) {
        return nullptr;
    }
    // The kernel clears the entry it hands out, header and all, so we do too: a driver that leaves a
    // field unset logs a zero there, as it would on Windows, rather than the pool's fill pattern.
    std::memset(p, 0, entry_size);
    outstanding_[p] = {io_object, entry_size};
    written_.erase(p);
    return p;
}

void EventLog::WriteEntry(void* packet)
{
    const Ticks now = clock_();
    std::lock_guard lk(mu_);
    auto it = outstanding_.find(packet);
    if (it == outstanding_.end()) {
        // Never read such a packet: after its first write it is freed pool.
        Report(written_.contains(packet)
                   ? "IoWriteErrorLogEntry of " + Pointer(packet) +
                         ", which was written already (a written packet belongs to the system)"
                   : "IoWriteErrorLogEntry of " + Pointer(packet) +
                         ", which IoAllocateErrorLogEntry did not hand out");
        return;
    }
    const Packet p = it->second;
    outstanding_.erase(it);
    records_.push_back(Decode(static_cast<const uint8_t*>(packet), p, now));
    pool_.Free(packet, &kPacketTag);
    written_.insert(packet);
}

EventRecord EventLog::Decode(const uint8_t* entry, const Packet& packet, Ticks now)
{
    IO_ERROR_LOG_PACKET header;
    std::memcpy(&header, entry, kHeaderSize);

    EventRecord r;
    r.time = now;
    r.id = static_cast<uint32_t>(header.ErrorCode);
    r.severity = static_cast<EventSeverity>(r.id >> 30);
    r.event_id = static_cast<uint16_t>(r.id & 0xFFFF);
    r.size = packet.size;
    r.string_offset = header.StringOffset;
    const std::string what = "error log entry " + Hex32(r.id);

    const auto src = sources_.find(packet.io_object);
    if (src == sources_.end()) {
        Report(what + " written for " + Pointer(packet.io_object) +
               ", an object no event source was registered for");
    }
    r.source = src != sources_.end() ? src->second.name : "unknown";

    size_t dump_end = kDumpOffset + header.DumpDataSize;
    if (dump_end > packet.size) {
        Report(what + ": dump data of " + std::to_string(header.DumpDataSize) +
               " bytes runs past the entry's " + std::to_string(packet.size) + " bytes");
        dump_end = packet.size;
    }
    r.dump.assign(entry + kDumpOffset, entry + dump_end);

    // %1 is the object's name; the packet's strings follow.
    std::vector<std::u16string> args{src != sources_.end() ? src->second.object_name : u""};
    if (header.NumberOfStrings > 0) {
        for (std::u16string& s :
             ReadStrings(entry, packet.size, header.StringOffset, header.NumberOfStrings, dump_end, what)) {
            r.strings.push_back(Utf8FromUtf16(s));
            args.push_back(std::move(s));
        }
    }

    const std::u16string* text = nullptr;
    if (src != sources_.end()) {
        auto t = src->second.texts.find(r.id);
        text = t != src->second.texts.end() ? &t->second : nullptr;
    }
    r.message = text != nullptr ? Utf8FromUtf16(Render(*text, args)) : MissingMessage(r);
    return r;
}

// The packet's NUL-terminated UTF-16 strings from `offset`, which should follow the header and the dump;
// reading stops at the entry's end.
std::vector<std::u16string> EventLog::ReadStrings(const uint8_t* entry, size_t size, size_t offset,
                                                  unsigned count, size_t dump_end, const std::string& what)
{
    if (offset < dump_end) {
        Report(what + ": strings at offset " + std::to_string(offset) +
               " overlap the packet header or its dump data");
    }
    if (offset >= size) {
        Report(what + ": strings at offset " + std::to_string(offset) + " lie outside the entry of " +
               std::to_string(size) + " bytes");
    }
    std::vector<std::u16string> strings;
    for (unsigned n = 0; n < count && offset < size; n++) {
        std::u16string s;
        char16_t c = 0;
        for (; offset + sizeof c <= size; offset += sizeof c) {
            std::memcpy(&c, entry + offset, sizeof c);
            if (c == 0) {
                break;
            }
            s += c;
        }
        if (offset + sizeof c > size) {
            Report(what + ": string " + std::to_string(n + 1) + " of " + std::to_string(count) +
                   " is not terminated within the entry");
            offset = size;
        } else {
            offset += sizeof c;
        }
        strings.push_back(std::move(s));
    }
    return strings;
}

void EventLog::FailAllocations(int count)
{
    std::lock_guard lk(mu_);
    fail_count_ = count;
}

size_t EventLog::Outstanding() const
{
    std::lock_guard lk(mu_);
    return outstanding_.size();
}

std::vector<EventRecord> EventLog::Records() const
{
    std::lock_guard lk(mu_);
    return records_;
}

std::vector<EventRecord> EventLog::Records(size_t first, size_t count) const
{
    std::lock_guard lk(mu_);
    first = std::min(first, records_.size());
    const size_t end = first + std::min(count, records_.size() - first);
    return std::vector<EventRecord>(records_.begin() + static_cast<ptrdiff_t>(first),
                                    records_.begin() + static_cast<ptrdiff_t>(end));
}

size_t EventLog::Count() const
{
    std::lock_guard lk(mu_);
    return records_.size();
}

void EventLog::Clear()
{
    std::lock_guard lk(mu_);
    records_.clear();
}

std::string EventLog::JsonLines(size_t first, size_t count) const
{
    std::string out;
    for (const EventRecord& r : Records(first, count)) {
        std::string dump;
        for (uint8_t b : r.dump) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", b);
            dump += hex;
        }
        const nlohmann::ordered_json j = {
            {"source", r.source},
            {"id", Hex32(r.id)},
            {"severity", SeverityWord(r.severity)},
            {"event_id", r.event_id},
            {"message", TrimLineEnd(r.message)},
            {"strings", r.strings},
            {"dump", dump},
            {"size", r.size},
        };
        // The time goes in by hand: a double would not keep the clock's exact 100 ns digits.
        char time[48];
        std::snprintf(time, sizeof time, "{\"time_s\":%lld.%07lld,",
                      static_cast<long long>(r.time / kTicksPerSecond),
                      static_cast<long long>(r.time % kTicksPerSecond));
        out += time + j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).substr(1) + "\n";
    }
    return out;
}

std::string EventLog::Text(size_t first, size_t count) const
{
    std::string out;
    for (const EventRecord& r : Records(first, count)) {
        std::string message = TrimLineEnd(r.message);
        for (size_t pos; (pos = message.find_first_of("\r\n")) != std::string::npos;) {
            const size_t end = message.find_first_not_of("\r\n", pos);
            message.replace(pos, end == std::string::npos ? end : end - pos, " ");
        }
        // The clock right-aligned in a column as wide as 999 hours, so that the columns hold on a long run.
        char head[96];
        std::snprintf(head, sizeof head, "%13s  %-11s  ", FormatClock(r.time).c_str(), LevelWord(r.severity));
        out += head + r.source + "  " + std::to_string(r.event_id) + "  " + message + "\n";
    }
    return out;
}

} // namespace sim
