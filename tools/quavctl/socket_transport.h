// The transport to `quavsim serve`: JSON lines (tools/common/protocol.h). LineTransport speaks the protocol
// over any exchange of one request line for one reply line; SocketTransport exchanges them on the
// server's Unix-domain socket.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "transport.h"

namespace quavctl {

class LineTransport : public Transport {
public:
    uint32_t DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                             std::vector<uint8_t>* out) override;
    uint32_t WmiQuery(std::vector<uint8_t>* data) override;
    uint32_t WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out) override;

protected:
    // Sends one request line (without its newline) and returns the reply line. Throws TransportError.
    virtual std::string Exchange(const std::string& line) = 0;
    // Closes the device handle, if one is open; errors are ignored (the server closes it anyway when the
    // connection ends). For the derived class's destructor.
    void CloseDevice() noexcept;

private:
    nlohmann::json Call(const nlohmann::json& request);

    std::optional<uint64_t> handle_;
};

class SocketTransport : public LineTransport {
public:
    // Connects; throws TransportError naming the path when nobody serves it.
    explicit SocketTransport(const std::string& path);
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

protected:
    std::string Exchange(const std::string& line) override;

private:
    std::string path_;
    int fd_ = -1;
    std::string buffer_;
};

} // namespace quavctl
