// quavsim serve's request handler, in-process: the machine boots and the driver starts once per process,
// one connection's Session lives as long, and each input is a few request lines fed to it. Every reply is
// one line, either the protocol's error reply ({"error": text} alone), exactly when the request is not one
// the protocol defines, or a reply quavctl's own checks accept for what the request asked. After each
// input the handles it left open are closed (as at the end of a connection), a little virtual time passes,
// no verifier report is left, and quavctl reaching the driver through the same session still reads a
// sensor, the twelve entries of the WMI block, the event log and a fan's published stage.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "device.h"
#include "protocol.h"
#include "serve_session.h"
#include "simulation.h"
#include "socket_transport.h"
#include "tool_harness.h"
#include "tools/session_transport.h"

namespace {

using fuzztools::Require;
using nlohmann::json;

struct Served {
    quavsim::Simulation simulation;
    quavsim::Session session;

    explicit Served(const quavsim::SimulationOptions& options) : simulation(options)
    {
        // A report stops the process at once, with the stack of the code that made it.
        simulation.machine().verifier().SetAbortOnReport(true);
        const NTSTATUS status = simulation.Boot();
        Require(status == STATUS_SUCCESS, "the served device starts", std::to_string(status));
        // Past the first poll (5 s by the configuration), so that the published values a client reads
        // exist before the first input.
        sim::Sleep(sim::Seconds(6));
    }
    ~Served()
    {
        session.CloseAll();
        simulation.Shutdown();
    }
};

Served& GetServed()
{
    static Served* served = [] {
        quavsim::SimulationOptions options;
        options.config_reg = quavsim::ReadTextFile(QUAV_DEFAULT_CONFIG);
        auto* s = new Served(options);
        // The machine's threads must be gone before the process's statics are.
        std::atexit([] { delete &GetServed(); });
        return s;
    }();
    return *served;
}

// A field the op reads, as the protocol defines it: a 32-bit unsigned number (at most `max`), or hex bytes.
bool NumberField(const json& request, const char* key, bool required, uint64_t max = UINT32_MAX)
{
    const auto it = request.find(key);
    if (it == request.end()) {
        return !required;
    }
    return it->is_number_unsigned() && it->get<uint64_t>() <= max;
}

bool BytesField(const json& request, const char* key)
{
    const auto it = request.find(key);
    if (it == request.end()) {
        return true;
    }
    if (!it->is_string()) {
        return false;
    }
    const std::optional<std::vector<uint8_t>> bytes = quavproto::FromHex(it->get<std::string>());
    return bytes && bytes->size() <= quavproto::kMaxBuffer;
}

bool StringField(const json& request, const char* key)
{
    const auto it = request.find(key);
    return it != request.end() && it->is_string();
}

// The op of a request the protocol defines (protocol.h), or nothing.
std::optional<std::string> DefinedOp(const json& request)
{
    if (!request.is_object() || !request.contains("op") || !request["op"].is_string()) {
        return std::nullopt;
    }
    const std::string op = request["op"].get<std::string>();
    bool fields = false;
    if (op == "open" || op == "wmi-query") {
        fields = true;
    } else if (op == "close") {
        fields = NumberField(request, "handle", false);
    } else if (op == "device-control") {
        fields = NumberField(request, "handle", false) && NumberField(request, "code", true) &&
                 BytesField(request, "input") &&
                 NumberField(request, "output_size", false, quavproto::kMaxBuffer);
    } else if (op == "events") {
        fields = NumberField(request, "after", false);
    } else if (op == "registry-value") {
        fields = StringField(request, "key") && StringField(request, "name");
    } else if (op == "wmi-method") {
        fields = NumberField(request, "method", true) && BytesField(request, "input") &&
                 NumberField(request, "output_size", false, quavproto::kMaxBuffer);
    }
    return fields ? std::optional(op) : std::nullopt;
}

// quavctl's check of the reply to `op`; a reply it calls bad is a fault of the server.
void CheckAsQuavctl(const std::string& op, const json& request, const std::string& reply)
{
    const uint32_t out_size = request.contains("output_size") ? request["output_size"].get<uint32_t>() : 0;
    std::vector<uint8_t> bytes;
    uint64_t handle = 0;
    uint32_t type = 0;
    try {
        if (op == "open") {
            quavctl::replies::Open(reply, &handle);
        } else if (op == "close") {
            quavctl::replies::Close(reply);
        } else if (op == "device-control") {
            quavctl::replies::DeviceControl(reply, out_size, &bytes);
        } else if (op == "wmi-query") {
            quavctl::replies::WmiQuery(reply, &bytes);
        } else if (op == "events") {
            quavctl::replies::Events(reply, request.value("after", 0u));
        } else if (op == "registry-value") {
            quavctl::replies::RegistryValue(reply, &type, &bytes);
        } else {
            quavctl::replies::WmiMethod(reply, out_size, &bytes);
        }
    } catch (const quavctl::TransportError& e) {
        fuzztools::Broken("quavctl accepts the server's reply", request.dump() + "\n" + e.what());
    }
}

void CheckReply(std::string_view line, const std::string& reply)
{
    const std::string detail = std::string(line.substr(0, 500)) + "\n  -> " + reply;
    Require(reply.find('\n') == std::string::npos, "a reply is one line", detail);
    const json body = json::parse(reply, nullptr, false);
    Require(body.is_object(), "a reply is a JSON object", detail);
    const json request = json::parse(line, nullptr, false);
    const std::optional<std::string> op = request.is_discarded() ? std::nullopt : DefinedOp(request);
    if (body.contains("error")) {
        Require(body.size() == 1 && body["error"].is_string(), "an error reply is {\"error\": text}", detail);
        Require(!op, "only a request the protocol does not define gets an error reply", detail);
        return;
    }
    Require(op.has_value(), "a request the protocol does not define gets an error reply", detail);
    CheckAsQuavctl(*op, request, reply);
}

// The device still answers a client as quavctl makes its requests.
void CheckStillServing(quavsim::Session& session)
{
    SessionTransport transport(session);
    quavctl::Device device(transport);
    SENSOR_RECORD record{};
    const uint32_t read = device.ReadSensor(SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, &record);
    Require(read == STATUS_SUCCESS, "a sensor still reads after an input", std::to_string(read));
    std::vector<SENSOR_DATA_ENTRY> block;
    const uint32_t query = device.QuerySensorBlock(&block);
    Require(query == STATUS_SUCCESS && block.size() == quavtools::kSensorCount,
            "the WMI block still reads after an input", std::to_string(query));
    const quavctl::EventBatch events = device.Events(0);
    Require(events.total > 0 && !events.events.empty(), "the event log still reads after an input",
            std::to_string(events.total));
    uint32_t stage = 0;
    const uint32_t published = device.ReadDword("Current\\FAN", "FANCNTL_RU_CURRENT_STAGE", &stage);
    Require(published == STATUS_SUCCESS, "a published stage still reads after an input",
            std::to_string(published));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Served& served = GetServed();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const size_t end = std::min(input.find('\n'), input.size());
        const std::string_view line = input.substr(0, end);
        CheckReply(line, served.session.HandleLine(line));
        input.remove_prefix(std::min(end + 1, input.size()));
    }
    served.session.CloseAll();
    sim::Sleep(sim::Ms(100));
    CheckStillServing(served.session);
    Require(served.session.OpenHandles() == 0, "quavctl's handle is closed", "");
    Require(served.simulation.machine().verifier().Count() == 0, "no verifier report", "");
    return 0;
}
