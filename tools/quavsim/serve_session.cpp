#include "serve_session.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "platform.h"
#include "protocol.h"
#include "quavpub.h"
#include "sim/sim.h"

namespace quavsim {

namespace {

using nlohmann::json;

// The sensor data block the driver registers with WMI: twelve SENSOR_DATA_ENTRY records, methods 1 and 2.
const GUID kSensorDataGuid = QUAV_SENSOR_DATA_GUID_INIT;

// A request that cannot be carried out as written: its reply is {"error": what()}.
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint32_t Number(const json& request, const char* key, std::optional<uint32_t> fallback = std::nullopt)
{
    auto it = request.find(key);
    if (it == request.end()) {
        if (fallback) {
            return *fallback;
        }
        throw BadRequest(std::string("\"") + key + "\" is missing");
    }
    if (!it->is_number_unsigned() || it->get<uint64_t>() > UINT32_MAX) {
        throw BadRequest(std::string("\"") + key + "\" must be a whole number from 0 to 4294967295");
    }
    return static_cast<uint32_t>(it->get<uint64_t>());
}

std::vector<uint8_t> Bytes(const json& request, const char* key)
{
    auto it = request.find(key);
    if (it == request.end()) {
        return {};
    }
    if (!it->is_string()) {
        throw BadRequest(std::string("\"") + key + "\" must be a string of hex digits");
    }
    std::optional<std::vector<uint8_t>> bytes = quavproto::FromHex(it->get<std::string>());
    if (!bytes) {
        throw BadRequest(std::string("\"") + key + "\" is not an even number of hex digits");
    }
    if (bytes->size() > quavproto::kMaxBuffer) {
        throw BadRequest(std::string("\"") + key + "\" is larger than " +
                         std::to_string(quavproto::kMaxBuffer) + " bytes");
    }
    return std::move(*bytes);
}

uint32_t OutputSize(const json& request)
{
    const uint32_t size = Number(request, "output_size", 0);
    if (size > quavproto::kMaxBuffer) {
        throw BadRequest("\"output_size\" is larger than " + std::to_string(quavproto::kMaxBuffer) +
                         " bytes");
    }
    return size;
}

std::string String(const json& request, const char* key)
{
    auto it = request.find(key);
    if (it == request.end()) {
        throw BadRequest(std::string("\"") + key + "\" is missing");
    }
    if (!it->is_string()) {
        throw BadRequest(std::string("\"") + key + "\" must be a string");
    }
    return it->get<std::string>();
}

// A record's line of events.txt or events.jsonl, without its line end.
std::string Line(std::string text)
{
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

uint32_t Unsigned(NTSTATUS status)
{
    return static_cast<uint32_t>(status);
}

} // namespace

json ErrorReply(const std::string& what)
{
    return json{{"error", what}};
}

std::string Session::HandleLine(std::string_view line)
{
    json reply;
    try {
        reply = Handle(json::parse(line));
    } catch (const json::parse_error&) {
        reply = ErrorReply("the request is not a JSON object on one line");
    } catch (const std::exception& e) {
        reply = ErrorReply(std::string("the request failed: ") + e.what());
    }
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

HANDLE Session::HandleArgument(const json& request) const
{
    if (request.contains("handle")) {
        const uint32_t value = Number(request, "handle");
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    }
    // No handle open: the client gets the system's answer to a bad handle.
    return handles_.empty() ? nullptr : handles_.back();
}

json Session::Handle(const json& request)
{
    try {
        if (!request.is_object()) {
            throw BadRequest("a request is a JSON object");
        }
        auto op_it = request.find("op");
        if (op_it == request.end() || !op_it->is_string()) {
            throw BadRequest("the request has no \"op\"");
        }
        const std::string op = op_it->get<std::string>();

        if (op == "open") {
            HANDLE handle = nullptr;
            const NTSTATUS status = user_.Open(u"" QUAV_USER_PATH_TEXT, &handle);
            json reply{{"status", Unsigned(status)}};
            if (NT_SUCCESS(status)) {
                handles_.push_back(handle);
                reply["handle"] = reinterpret_cast<uintptr_t>(handle);
            }
            return reply;
        }
        if (op == "close") {
            HANDLE handle = HandleArgument(request);
            const NTSTATUS status = user_.Close(handle);
            std::erase(handles_, handle);
            return json{{"status", Unsigned(status)}};
        }
        if (op == "device-control") {
            HANDLE handle = HandleArgument(request);
            const uint32_t code = Number(request, "code");
            const std::vector<uint8_t> in = Bytes(request, "input");
            std::vector<uint8_t> out(OutputSize(request));
            ULONG returned = 0;
            const NTSTATUS status = user_.DeviceIoControl(
                handle, code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                out.empty() ? nullptr : out.data(), static_cast<ULONG>(out.size()), &returned);
            out.resize(std::min<size_t>(returned, out.size()));
            return json{
                {"status", Unsigned(status)}, {"information", returned}, {"output", quavproto::ToHex(out)}};
        }
        if (op == "wmi-query") {
            std::vector<uint8_t> data;
            const NTSTATUS status = sim::Machine::Current().wmi().QueryAllData(kSensorDataGuid, &data);
            return json{{"status", Unsigned(status)}, {"data", quavproto::ToHex(data)}};
        }
        if (op == "wmi-method") {
            const uint32_t method = Number(request, "method");
            const std::vector<uint8_t> in = Bytes(request, "input");
            const uint32_t out_size = OutputSize(request);
            std::vector<uint8_t> out;
            const NTSTATUS status =
                sim::Machine::Current().wmi().ExecuteMethod(kSensorDataGuid, 0, method, in, out_size, &out);
            return json{{"status", Unsigned(status)}, {"output", quavproto::ToHex(out)}};
        }
        if (op == "events") {
            return Events(request);
        }
        if (op == "registry-value") {
            return RegistryValue(request);
        }
        throw BadRequest("unknown op \"" + op + "\"");
    } catch (const BadRequest& e) {
        return ErrorReply(e.what());
    }
}

json Session::Events(const json& request)
{
    const uint32_t after = Number(request, "after", 0);
    const sim::EventLog& log = sim::Machine::Current().eventlog();
    const size_t total = log.Count();
    json events = json::array();
    size_t bytes = 0;
    for (size_t i = after; i < total; i++) {
        json record{{"text", Line(log.Text(i, 1))}, {"json", Line(log.JsonLines(i, 1))}};
        const size_t size = record.dump(-1, ' ', false, json::error_handler_t::replace).size();
        if (!events.empty() && bytes + size > quavproto::kMaxBuffer) {
            break;
        }
        bytes += size;
        events.push_back(std::move(record));
    }
    return json{{"total", total}, {"events", std::move(events)}};
}

json Session::RegistryValue(const json& request)
{
    const std::string key = String(request, "key");
    const std::string name = String(request, "name");
    const std::string path =
        "\\REGISTRY\\Machine\\" + std::string(quavproto::kServiceKey) + (key.empty() ? "" : "\\" + key);
    const std::optional<sim::Registry::Value> value = sim::Machine::Current().registry().GetValue(path, name);
    if (!value) {
        return json{{"status", Unsigned(STATUS_OBJECT_NAME_NOT_FOUND)}};
    }
    if (value->data.size() > quavproto::kMaxBuffer) {
        return json{{"status", Unsigned(STATUS_BUFFER_TOO_SMALL)}};
    }
    return json{
        {"status", Unsigned(STATUS_SUCCESS)}, {"type", value->type}, {"data", quavproto::ToHex(value->data)}};
}

void Session::CloseAll()
{
    for (HANDLE handle : handles_) {
        user_.Close(handle);
    }
    handles_.clear();
}

} // namespace quavsim
