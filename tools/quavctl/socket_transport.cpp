#include "socket_transport.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "protocol.h"

namespace quavctl {

using nlohmann::json;

namespace {

// The start of a line as printable ASCII, for a message: other bytes as \xNN.
std::string Shown(std::string_view line)
{
    constexpr size_t kShown = 200;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string shown;
    for (unsigned char c : line.substr(0, kShown)) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            shown += {'\\', 'x', kDigits[c >> 4], kDigits[c & 0xF]};
        }
    }
    return line.size() > kShown ? shown + "..." : shown;
}

// One reply line, parsed and checked field by field. A line that breaks the protocol is a TransportError
// quoting it (cut short: a hostile server's line can be a quarter of a megabyte).
class Reply {
public:
    explicit Reply(const std::string& line) : line_(line)
    {
        body_ = json::parse(line, nullptr, false);
        if (body_.is_discarded()) {
            Bad("it is not JSON");
        }
        if (!body_.is_object()) {
            Bad("it is not a JSON object");
        }
        if (auto error = body_.find("error"); error != body_.end()) {
            if (!error->is_string()) {
                Bad("its \"error\" is not a string");
            }
            // The server's own answer to a request it would not carry out: the message is for the user.
            throw TransportError("quavsim refused the request: " + Shown(error->get<std::string>()));
        }
    }

    [[noreturn]] void Bad(const std::string& what) const
    {
        throw TransportError("quavsim sent a bad reply (" + what + "): " + Shown(line_));
    }

    // The request's NTSTATUS, which every reply carries.
    uint32_t Status() const
    {
        const std::optional<uint64_t> status = Number("status", UINT32_MAX);
        if (!status) {
            Bad("it has no \"status\"");
        }
        return static_cast<uint32_t>(*status);
    }

    // A whole number from 0 to `max`; nothing when the reply has no such field.
    std::optional<uint64_t> Number(const char* key, uint64_t max) const
    {
        auto it = body_.find(key);
        if (it == body_.end()) {
            return std::nullopt;
        }
        if (!it->is_number_unsigned() || it->get<uint64_t>() > max) {
            Bad(std::string("its \"") + key + "\" is not a whole number from 0 to " + std::to_string(max));
        }
        return it->get<uint64_t>();
    }

    // Hex bytes, at most `max` of them (what the request asked for); nothing when the field is absent.
    std::optional<std::vector<uint8_t>> Bytes(const char* key, size_t max) const
    {
        auto it = body_.find(key);
        if (it == body_.end()) {
            return std::nullopt;
        }
        std::optional<std::vector<uint8_t>> bytes;
        if (it->is_string()) {
            bytes = quavproto::FromHex(it->get<std::string>());
        }
        if (!bytes) {
            Bad(std::string("its \"") + key + "\" is not a string of hex digits");
        }
        if (bytes->size() > max) {
            Bad(std::string("its \"") + key + "\" has " + std::to_string(bytes->size()) +
                " bytes, more than the " + std::to_string(max) + " asked for");
        }
        return bytes;
    }

    std::vector<uint8_t> RequiredBytes(const char* key, size_t max) const
    {
        std::optional<std::vector<uint8_t>> bytes = Bytes(key, max);
        if (!bytes) {
            Bad(std::string("it has no \"") + key + "\"");
        }
        return std::move(*bytes);
    }

    // The reply's fields as parsed, for the replies whose shape the checks above do not cover.
    const json& body() const { return body_; }

private:
    const std::string& line_;
    json body_;
};

// A string field of an event record: one line, which the terminal shows as written.
std::string EventField(const Reply& reply, const json& record, const char* key)
{
    const auto it = record.find(key);
    if (it == record.end() || !it->is_string()) {
        reply.Bad(std::string("an event without a string \"") + key + "\"");
    }
    const std::string text = it->get<std::string>();
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        reply.Bad(std::string("an event's \"") + key + "\" holds a control character");
    }
    return text;
}

// Errors (0xC...) carry no data; success, informational and warning statuses may (a warning such as
// STATUS_BUFFER_OVERFLOW returns what fitted).
bool CarriesData(uint32_t status)
{
    return status < 0xC0000000u;
}

bool Failed(uint32_t status)
{
    return status >= 0x80000000u;
}

} // namespace

namespace replies {

uint32_t Open(const std::string& line, uint64_t* handle)
{
    const Reply reply(line);
    const uint32_t status = reply.Status();
    if (Failed(status)) {
        return status;
    }
    const std::optional<uint64_t> opened = reply.Number("handle", UINT32_MAX);
    if (!opened) {
        reply.Bad("the device was opened without naming the handle");
    }
    *handle = *opened;
    return status;
}

uint32_t Close(const std::string& line)
{
    return Reply(line).Status();
}

uint32_t DeviceControl(const std::string& line, uint32_t out_size, std::vector<uint8_t>* out)
{
    out->clear();
    const Reply reply(line);
    const uint32_t status = reply.Status();
    const std::vector<uint8_t> output = reply.RequiredBytes("output", out_size);
    const std::optional<uint64_t> information = reply.Number("information", UINT32_MAX);
    if (!information) {
        reply.Bad("it has no \"information\"");
    }
    if (CarriesData(status)) {
        if (*information > out_size) {
            reply.Bad("\"information\" says " + std::to_string(*information) + " bytes, more than the " +
                      std::to_string(out_size) + " asked for");
        }
        if (output.size() != *information) {
            reply.Bad("\"information\" says " + std::to_string(*information) + " bytes but \"output\" has " +
                      std::to_string(output.size()));
        }
        *out = output;
    }
    return status;
}

uint32_t WmiQuery(const std::string& line, std::vector<uint8_t>* data)
{
    data->clear();
    const Reply reply(line);
    const uint32_t status = reply.Status();
    // Present when the query succeeded, possibly empty (the device may register a block of no bytes).
    std::optional<std::vector<uint8_t>> bytes = reply.Bytes("data", quavproto::kMaxBuffer);
    if (CarriesData(status)) {
        if (!bytes) {
            reply.Bad("a successful query without \"data\"");
        }
        *data = std::move(*bytes);
    }
    return status;
}

uint32_t WmiMethod(const std::string& line, uint32_t out_size, std::vector<uint8_t>* out)
{
    out->clear();
    const Reply reply(line);
    const uint32_t status = reply.Status();
    if (std::optional<std::vector<uint8_t>> bytes = reply.Bytes("output", out_size)) {
        *out = std::move(*bytes);
    }
    return status;
}

EventBatch Events(const std::string& line, uint32_t after)
{
    const Reply reply(line);
    EventBatch batch;
    const std::optional<uint64_t> total = reply.Number("total", UINT32_MAX);
    if (!total) {
        reply.Bad("it has no \"total\"");
    }
    batch.total = *total;
    const auto events = reply.body().find("events");
    if (events == reply.body().end() || !events->is_array()) {
        reply.Bad("it has no \"events\" list");
    }
    const uint64_t left = *total > after ? *total - after : 0;
    if (events->size() > left || (left > 0 && events->empty())) {
        reply.Bad(std::to_string(events->size()) + " events after the first " + std::to_string(after) +
                  " of " + std::to_string(*total));
    }
    for (const json& record : *events) {
        if (!record.is_object()) {
            reply.Bad("an event is not a JSON object");
        }
        EventLine event{EventField(reply, record, "text"), EventField(reply, record, "json")};
        if (!json::accept(event.json) || !json::parse(event.json).is_object()) {
            reply.Bad("an event's \"json\" is not a JSON object");
        }
        batch.events.push_back(std::move(event));
    }
    return batch;
}

uint32_t RegistryValue(const std::string& line, uint32_t* type, std::vector<uint8_t>* data)
{
    data->clear();
    const Reply reply(line);
    const uint32_t status = reply.Status();
    if (Failed(status)) {
        return status;
    }
    const std::optional<uint64_t> value_type = reply.Number("type", UINT32_MAX);
    if (!value_type) {
        reply.Bad("a value read without its \"type\"");
    }
    *type = static_cast<uint32_t>(*value_type);
    *data = reply.RequiredBytes("data", quavproto::kMaxBuffer);
    return status;
}

} // namespace replies

uint32_t LineTransport::DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                                        std::vector<uint8_t>* out)
{
    out->clear();
    if (!handle_) {
        uint64_t handle = 0;
        const uint32_t status = replies::Open(Exchange(json{{"op", "open"}}.dump()), &handle);
        if (Failed(status)) {
            return status;
        }
        handle_ = handle;
    }
    const std::string line = Exchange(json{
        {"op", "device-control"},
        {"handle", *handle_},
        {"code", code},
        {"input", quavproto::ToHex(in)},
        {"output_size", out_size}}.dump());
    return replies::DeviceControl(line, out_size, out);
}

uint32_t LineTransport::WmiQuery(std::vector<uint8_t>* data)
{
    return replies::WmiQuery(Exchange(json{{"op", "wmi-query"}}.dump()), data);
}

uint32_t LineTransport::WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out)
{
    // The block's methods return nothing: no output is asked for, and none may come back.
    constexpr uint32_t kOutputSize = 0;
    const std::string line = Exchange(json{
        {"op", "wmi-method"},
        {"method", method},
        {"input", quavproto::ToHex(in)},
        {"output_size", kOutputSize}}.dump());
    return replies::WmiMethod(line, kOutputSize, out);
}

EventBatch LineTransport::Events(uint32_t after)
{
    return replies::Events(Exchange(json{{"op", "events"}, {"after", after}}.dump()), after);
}

uint32_t LineTransport::RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                                      std::vector<uint8_t>* data)
{
    const std::string line = Exchange(json{{"op", "registry-value"}, {"key", key}, {"name", name}}.dump());
    return replies::RegistryValue(line, type, data);
}

void LineTransport::CloseDevice() noexcept
{
    if (!handle_) {
        return;
    }
    try {
        replies::Close(Exchange(json{{"op", "close"}, {"handle", *handle_}}.dump()));
    } catch (const std::exception&) {
    }
    handle_.reset();
}

SocketTransport::SocketTransport(const std::string& path, std::chrono::milliseconds timeout)
    : path_(path), timeout_(timeout)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw TransportError("cannot connect to quavsim at " + path + ": the path is too long for a socket");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A receive timeout for the replies; a send timeout, which on a Unix-domain socket also bounds the
    // wait in connect() while the server's queue of pending connections is full.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (fd_ >= 0) {
            close(fd_);
        }
        throw TransportError("cannot connect to quavsim at " + path + ": " +
                             (error == EAGAIN ? "it accepts no more connections" : std::strerror(error)) +
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
    const std::string request = line + "\n";
    std::string_view data = request;
    while (!data.empty()) {
        const ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            // The server may have answered and closed before reading anything, as it does for a
            // connection beyond its bound: its reply says why.
            break;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            throw TransportError("quavsim at " + path_ + " took no request for " +
                                 std::to_string(timeout_.count()) + " ms");
        }
        if (n <= 0) {
            throw TransportError("lost the connection to quavsim at " + path_ + ": " + std::strerror(errno));
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return ReadLine();
}

std::string SocketTransport::ReadLine()
{
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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            throw TransportError("quavsim at " + path_ + " did not answer within " +
                                 std::to_string(timeout_.count()) + " ms");
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
