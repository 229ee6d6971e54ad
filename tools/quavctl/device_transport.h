// quavctl on Windows: the driver's own device, "\\.\QUAVDSL", its WMI data block and the values it
// publishes under its service key.
#pragma once

#if defined(_WIN32)

#include <string>

#include "transport.h"

namespace quavctl {

class DeviceTransport : public Transport {
public:
    explicit DeviceTransport(std::string path);
    ~DeviceTransport() override;
    DeviceTransport(const DeviceTransport&) = delete;
    DeviceTransport& operator=(const DeviceTransport&) = delete;

    uint32_t DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                             std::vector<uint8_t>* out) override;
    uint32_t WmiQuery(std::vector<uint8_t>* data) override;
    uint32_t WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out) override;
    // Not available here: the driver's records are in the System log, under the source QUAV.
    EventBatch Events(uint32_t after) override;
    uint32_t RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                           std::vector<uint8_t>* data) override;

private:
    std::string path_;
    void* device_ = nullptr; // HANDLE, opened on the first request
};

} // namespace quavctl

#endif
