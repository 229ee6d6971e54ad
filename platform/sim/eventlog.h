// The system event log as drivers feed it: a driver allocates an error-log packet for its driver or
// device object (IoAllocateErrorLogEntry), fills it and hands it back (IoWriteErrorLogEntry). The service
// checks the entry, renders it with the message table its source registered, keeps it as a record for
// tests and tools to read, and frees the packet.
//
// Packets come from the machine's pool under the tag 'IoEr', so pool accounting shows the packets a
// driver allocated and never wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "time.h"

namespace sim {

class Pool;
class Verifier;

// One message of a source's message table, as the message compiler lays it out: the full message id
// and the text, whose lines end in CR/LF.
struct MessageEntry {
    uint32_t id;
    std::u16string_view text;
};

// The top two bits of a message id.
enum class EventSeverity { Success = 0, Informational = 1, Warning = 2, Error = 3 };

struct EventRecord {
    Ticks time = 0;
    std::string source; // "unknown" for an object no source was registered for
    uint32_t id = 0;    // the packet's ErrorCode
    EventSeverity severity = EventSeverity::Success;
    uint16_t event_id = 0;            // the id's low 16 bits, what the event viewer shows
    std::string message;              // rendered, UTF-8, with the table text's line ends
    std::vector<std::string> strings; // the packet's insertion strings (%2, %3, ...), UTF-8
    std::vector<uint8_t> dump;        // the packet's dump data
    size_t string_offset = 0;         // where the packet's strings begin (StringOffset)
    size_t size = 0;                  // the entry's size as allocated
};

class EventLog {
public:
    static constexpr uint32_t kPacketTag = 0x72456F49; // "IoEr" in memory order

    EventLog(Verifier& verifier, Pool& pool, std::function<Ticks()> clock);
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Entries written for `io_object` (a driver or device object) come from `source`, their %1 is
    // `object_name`, and their texts are looked up in `table` (copied). A second registration of the
    // same object replaces the first.
    void RegisterSource(const void* io_object, std::string source, std::string object_name,
                        std::span<const MessageEntry> table);

    // IoAllocateErrorLogEntry and IoWriteErrorLogEntry.
    void* AllocateEntry(const void* io_object, unsigned entry_size);
    void WriteEntry(void* packet);

    // The next `count` allocations fail, as they do when the system's error-log quota is used up;
    // count < 0 fails all of them from then on, 0 ends the fault.
    void FailAllocations(int count);
    size_t Outstanding() const; // packets allocated and not yet written

    std::vector<EventRecord> Records() const;
    // The records from the `first` (0-based) on, at most `count` of them: what a reader that has seen
    // the first ones asks for.
    std::vector<EventRecord> Records(size_t first, size_t count) const;
    size_t Count() const;
    void Clear();

    // One JSON object per record and line: time_s, source, id ("0x402A0008"), severity
    // ("informational"), event_id, message (trailing line end trimmed), strings, dump (hex), size.
    std::string JsonLines(size_t first = 0, size_t count = SIZE_MAX) const;
    // The event viewer's list: one line per record with time, level, source, event id and message.
    std::string Text(size_t first = 0, size_t count = SIZE_MAX) const;

private:
    struct Source {
        std::string name;
        std::u16string object_name;
        std::unordered_map<uint32_t, std::u16string> texts;
    };
    struct Packet {
        const void* io_object;
        size_t size;
    };

    EventRecord Decode(const uint8_t* entry, const Packet& packet, Ticks now);
    std::vector<std::u16string> ReadStrings(const uint8_t* entry, size_t size, size_t offset, unsigned count,
                                            size_t dump_end, const std::string& what);
    void Report(std::string text);

    Verifier& verifier_;
    Pool& pool_;
    std::function<Ticks()> clock_;
    mutable std::mutex mu_;
    std::map<const void*, Source> sources_;
    std::unordered_map<void*, Packet> outstanding_;
    std::unordered_set<void*> written_; // freed after their write, until the pool hands them out again
    std::vector<EventRecord> records_;
    int fail_count_ = 0;
};

} // namespace sim
