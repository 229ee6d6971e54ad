// How quavctl reaches the driver: device-control requests on a handle to its device, the WMI sensor data
// block and its methods. Each call returns the request's final NTSTATUS as an unsigned number. The
// socket transport talks to `quavsim serve`; on Windows the device transport opens "\\.\QUAVDSL", sends
// the same codes to the driver and uses WMI for the data block.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quavctl {

// The driver's machine cannot be reached, or answered something that is not a reply.
struct TransportError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Records of the system event log as `quavsim run` writes them: a line of events.txt and of events.jsonl
// each, without the line end.
struct EventLine {
    std::string text;
    std::string json;
};

struct EventBatch {
    uint64_t total = 0; // records in the log so far
    std::vector<EventLine> events;
};

class Transport {
public:
    virtual ~Transport() = default;

    // METHOD_BUFFERED: `in` goes to the driver; *out holds the bytes it returned (at most out_size).
    // The device is opened on the first request.
    virtual uint32_t DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                                     std::vector<uint8_t>* out) = 0;
    // The sensor data block's one instance.
    virtual uint32_t WmiQuery(std::vector<uint8_t>* data) = 0;
    // A method of the sensor data block's instance.
    virtual uint32_t WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out) = 0;
    // The event log's records after the first `after`, as many as one reply carries (at least one when
    // there are more).
    virtual EventBatch Events(uint32_t after) = 0;
    // A value of the driver's service key or a key below it ("Current\\FAN"), as RegQueryValueEx reads it:
    // the status, and on success the value's type and bytes.
    virtual uint32_t RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                                   std::vector<uint8_t>* data) = 0;
};

} // namespace quavctl
