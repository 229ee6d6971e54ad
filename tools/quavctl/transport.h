// How quavctl reaches the driver: device-control requests on a handle to its device, the WMI sensor data
// block and its methods. Each call returns the request's final NTSTATUS as an unsigned number. The
// socket transport talks to `quavsim serve`; on Windows the device transport opens "\\.\QUAVDSL", sends
// the same codes to the driver and uses WMI for the data block.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace quavctl {

// The driver's machine cannot be reached, or answered something that is not a reply.
struct TransportError : std::runtime_error {
    using std::runtime_error::runtime_error;
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
};

} // namespace quavctl
