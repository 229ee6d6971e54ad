// The transport to `quavsim serve`: JSON lines (tools/common/protocol.h). LineTransport speaks the protocol
// over any exchange of one request line for one reply line; SocketTransport exchanges them on the
// server's Unix-domain socket.
//
// Every reply is checked in full before anything of it is used: a JSON object, a status that is a 32-bit
// number, each field of the type and size the request allows (no more output than asked for, the bytes
// the status and "information" promise present). Anything else is a TransportError that says what was
// wrong: the other end is not a working quavsim, and nothing it sent is taken as the driver's answer.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "transport.h"

namespace quavctl {

// The checks of one reply line, a function for each request kind, as LineTransport makes them: each
// returns the reply's status and what it carries, and throws TransportError for a line that breaks the
// protocol or for the server's refusal ({"error": ...}). `out_size` is the output the request asked for.
namespace replies {
uint32_t Open(const std::string& line, uint64_t* handle); // the handle when the status is no failure
uint32_t Close(const std::string& line);
uint32_t DeviceControl(const std::string& line, uint32_t out_size, std::vector<uint8_t>* out);
uint32_t WmiQuery(const std::string& line, std::vector<uint8_t>* data);
uint32_t WmiMethod(const std::string& line, uint32_t out_size, std::vector<uint8_t>* out);
EventBatch Events(const std::string& line, uint32_t after);
uint32_t RegistryValue(const std::string& line, uint32_t* type, std::vector<uint8_t>* data);
} // namespace replies

class LineTransport : public Transport {
public:
    uint32_t DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                             std::vector<uint8_t>* out) override;
    uint32_t WmiQuery(std::vector<uint8_t>* data) override;
    uint32_t WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out) override;
    EventBatch Events(uint32_t after) override;
    uint32_t RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                           std::vector<uint8_t>* data) override;

protected:
    // Sends one request line (without its newline) and returns the reply line. Throws TransportError.
    virtual std::string Exchange(const std::string& line) = 0;
    // Closes the device handle, if one is open; errors are ignored (the server closes it anyway when the
    // connection ends). For the derived class's destructor.
    void CloseDevice() noexcept;

private:
    std::optional<uint64_t> handle_;
};

class SocketTransport : public LineTransport {
public:
    // How long a reply may take before quavsim counts as not answering. Requests run in simulated time
    // on the server, a fraction of a second of it; a server slowed down 100 times still answers well
    // within this.
    static constexpr std::chrono::milliseconds kReplyTimeout{30'000};

    // Connects; throws TransportError naming the path when nobody serves it. `timeout` bounds the
    // connection (a server whose queue of connections is full) and each reply.
    explicit SocketTransport(const std::string& path, std::chrono::milliseconds timeout = kReplyTimeout);
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

protected:
    std::string Exchange(const std::string& line) override;

private:
    std::string ReadLine();

    std::string path_;
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    std::string buffer_;
};

} // namespace quavctl
