#include "socket_transport.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol.h"

namespace quavctl {

using nlohmann::json;

namespace {

uint32_t StatusOf(const json& reply)
{
    auto it = reply.find("status");
    if (it == reply.end() || !it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
        throw TransportError("quavsim sent a reply without a status: " + reply.dump());
    }
    return static_cast<uint32_t>(it->get<uint64_t>());
}

std::vector<uint8_t> BytesOf(const json& reply, const char* key)
{
    auto it = reply.find(key);
    if (it == reply.end()) {
        return {};
    }
    std::optional<std::vector<uint8_t>> bytes;
    if (it->is_string()) {
        bytes = quavproto::FromHex(it->get<std::string>());
    }
    if (!bytes) {
        throw TransportError(std::string("quavsim sent a reply whose \"") + key +
                             "\" is not hex: " + reply.dump());
    }
    return std::move(*bytes);
}

bool Failed(uint32_t status)
{
    return status >= 0x80000000u;
}

} // namespace

json LineTransport::Call(const json& request)
{
    const std::string line = Exchange(request.dump());
    json reply;
    try {
        reply = json::parse(line);
    } catch (const json::parse_error&) {
        throw TransportError("quavsim sent a reply that is not JSON: " + line);
    }
    if (!reply.is_object()) {
        throw TransportError("quavsim sent a reply that is not a JSON object: " + line);
    }
    if (auto error = reply.find("error"); error != reply.end()) {
        throw TransportError("quavsim refused the request: " +
                             (error->is_string() ? error->get<std::string>() : error->dump()));
    }
    return reply;
}

uint32_t LineTransport::DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                                        std::vector<uint8_t>* out)
{
    out->clear();
    if (!handle_) {
        const json reply = Call({{"op", "open"}});
        const uint32_t status = StatusOf(reply);
        if (Failed(status)) {
            return status;
        }
        auto handle = reply.find("handle");
        if (handle == reply.end() || !handle->is_number_unsigned()) {
            throw TransportError("quavsim opened the device without naming the handle: " + reply.dump());
        }
        handle_ = handle->get<uint64_t>();
    }
    const json reply = Call({{"op", "device-control"},
                             {"handle", *handle_},
                             {"code", code},
                             {"input", quavproto::ToHex(in)},
                             {"output_size", out_size}});
    *out = BytesOf(reply, "output");
    if (out->size() > out_size) {
        throw TransportError("quavsim returned more bytes than asked for: " + reply.dump());
    }
    return StatusOf(reply);
}

uint32_t LineTransport::WmiQuery(std::vector<uint8_t>* data)
{
    const json reply = Call({{"op", "wmi-query"}});
    *data = BytesOf(reply, "data");
    return StatusOf(reply);
}

uint32_t LineTransport::WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out)
{
    const json reply = Call({{"op", "wmi-method"}, {"method", method}, {"input", quavproto::ToHex(in)}});
    *out = BytesOf(reply, "output");
    return StatusOf(reply);
}

void LineTransport::CloseDevice() noexcept
{
    if (!handle_) {
        return;
    }
    try {
        Call({{"op", "close"}, {"handle", *handle_}});
    } catch (const std::exception&) {
    }
    handle_.reset();
}

SocketTransport::SocketTransport(const std::string& path) : path_(path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw TransportError("cannot connect to quavsim at " + path + ": the path is too long for a socket");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0) {
            close(fd_);
        }
        throw TransportError("cannot connect to quavsim at " + path + ": " + reason +
                             " (is `quavsim serve` running?)");
    }
}

SocketTransport::~SocketTransport()
{
    CloseDevice();
    close(fd_);
}

std::string SocketTransport::Exchange(const std::string& line)
{
    std::string_view data;
    const std::string request = line + "\n";
    data = request;
    while (!data.empty()) {
        const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw TransportError("lost the connection to quavsim at " + path_ + ": " + std::strerror(errno));
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string reply = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return reply;
        }
        if (buffer_.size() > quavproto::kMaxLine) {
            throw TransportError("quavsim sent a reply line longer than " +
                                 std::to_string(quavproto::kMaxLine) + " bytes");
        }
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw TransportError("lost the connection to quavsim at " + path_ + ": " + std::strerror(errno));
        }
        if (n == 0) {
            throw TransportError("quavsim at " + path_ + " closed the connection");
        }
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

} // namespace quavctl
