// What `quavsim serve` and quavctl agree on: where the socket lives by default and how bytes travel in
// the JSON lines (lowercase hex, two digits a byte).
//
// One request line, one reply line:
//   {"op":"open"}                                       -> {"status":N,"handle":H}
//   {"op":"device-control","code":N,"input":"<hex>","output_size":N[,"handle":H]}
//                                                       -> {"status":N,"information":N,"output":"<hex>"}
//   {"op":"close"[,"handle":H]}                         -> {"status":N}
//   {"op":"wmi-query"}                                  -> {"status":N,"data":"<hex>"}
//   {"op":"wmi-method","method":N,"input":"<hex>"[,"output_size":N]}
//                                                       -> {"status":N,"output":"<hex>"}
//   {"op":"events"[,"after":N]}                         ->
//   {"total":T,"events":[{"text":"<line>","json":"<line>"},...]}
//       The system event log's records after the first N (0: from the start), in the order written, as
//       many as fit in kMaxBuffer bytes (at least one when there are any): each as its line of
//       events.txt ("text") and of events.jsonl ("json"), without the line end. T counts every record
//       so far; a client follows the log by asking again after N + the records it got.
//   {"op":"registry-value","key":"<path>","name":"<name>"}
//                                                       -> {"status":N[,"type":T,"data":"<hex>"]}
//       A value of the driver's service key or a key below it ("Current\FAN"; "" is the service key
//       itself), as RegQueryValueEx returns it: its type (REG_DWORD is 4) and raw bytes, present exactly
//       when the status is a success; STATUS_OBJECT_NAME_NOT_FOUND for a key or value that does not exist.
// A request the server cannot make sense of gets {"error":"<what>"}; a connection it will not take
// (another user's, one beyond its bound of connections at once) gets {"error":"refused: <why>"} and is
// closed. Statuses are the driver's and the platform's NTSTATUS values as unsigned numbers. Without
// "handle", a request uses the connection's most recently opened handle.
#pragma once

#if defined(_WIN32)
#include "usermode.h" // the device's path
#else
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quavproto {

// The largest buffer either side sends or asks for in one request, and the longest line accepted.
constexpr uint32_t kMaxBuffer = 64 * 1024;
constexpr size_t kMaxLine = 4 * kMaxBuffer;

// The key of the driver's service, whose subkeys registry-value reads: its configuration (Parameters) and
// what it publishes as it runs (Current).
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\QUAV";

// $XDG_RUNTIME_DIR/quavsim/quav.sock (a per-user directory already), else /tmp/quavsim-<uid>/quav.sock.
// On Windows quavctl talks to the driver's device itself, and its "socket" is the device's path.
inline std::string DefaultSocketPath()
{
#if defined(_WIN32)
    return QUAV_USER_PATH_TEXT;
#else
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/quavsim/quav.sock";
    }
    return "/tmp/quavsim-" + std::to_string(getuid()) + "/quav.sock";
#endif
}

inline std::string ToHex(std::span<const uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

// Nothing for an odd length or a character that is not a hex digit.
inline std::optional<std::vector<uint8_t>> FromHex(std::string_view text)
{
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); i++) {
        const int high = digit(text[2 * i]);
        const int low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return bytes;
}

} // namespace quavproto
