// quavctl's reading of replies: a command runs against a server whose every reply line is the input's.
// The input's first byte picks the command (and --json with its top bit); the rest, split at newlines, are
// the replies in the order quavctl asks, and a connection closed after the last. Whatever came back,
// quavctl ends with 0, 1 (the driver refused) or 2 (a bad reply, or no server) and prints one result; what
// it took from a reply is within what its request asked for: no more output bytes than the buffer, none
// with a failure, a record whole or not at all, the WMI block's twelve entries.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "protocol.h"
#include "sensors.h"
#include "socket_transport.h"
#include "tool_harness.h"

namespace {

using fuzztools::Require;
using nlohmann::json;

// Each exchange answered with the input's next line.
class ScriptedServer : public quavctl::LineTransport {
public:
    explicit ScriptedServer(std::string_view script) : script_(script) {}
    ~ScriptedServer() override { CloseDevice(); }

protected:
    std::string Exchange(const std::string&) override
    {
        if (closed_) {
            throw quavctl::TransportError("quavsim closed the connection");
        }
        const size_t end = script_.find('\n');
        const std::string line(script_.substr(0, end));
        closed_ = end == std::string_view::npos;
        script_.remove_prefix(closed_ ? script_.size() : end + 1);
        return line;
    }

private:
    std::string_view script_;
    bool closed_ = false;
};

// What the transport hands the commands, checked against what they asked for.
class CheckedTransport : public quavctl::Transport {
public:
    explicit CheckedTransport(std::string_view script) : server_(script) {}

    uint32_t DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                             std::vector<uint8_t>* out) override
    {
        const uint32_t status = server_.DeviceIoControl(code, in, out_size, out);
        Require(out->size() <= out_size, "no more output than the buffer asked for", Detail(status, *out));
        Require(status < 0xC0000000u || out->empty(), "no output with a failure", Detail(status, *out));
        return status;
    }
    uint32_t WmiQuery(std::vector<uint8_t>* data) override
    {
        const uint32_t status = server_.WmiQuery(data);
        Require(data->size() <= quavproto::kMaxBuffer, "a WMI block within the protocol's buffer",
                Detail(status, *data));
        Require(status < 0xC0000000u || data->empty(), "no WMI block with a failure", Detail(status, *data));
        return status;
    }
    uint32_t WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out) override
    {
        const uint32_t status = server_.WmiMethod(method, in, out);
        Require(out->empty(), "no output from a method that asked for none", Detail(status, *out));
        return status;
    }
    quavctl::EventBatch Events(uint32_t after) override
    {
        quavctl::EventBatch batch = server_.Events(after);
        Require(batch.events.size() <= batch.total - std::min<uint64_t>(after, batch.total),
                "no more events than the log holds after those seen", std::to_string(batch.total));
        return batch;
    }
    uint32_t RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                           std::vector<uint8_t>* data) override
    {
        const uint32_t status = server_.RegistryValue(key, name, type, data);
        Require(status < 0x80000000u || data->empty(), "no value with a failure", Detail(status, *data));
        return status;
    }

private:
    static std::string Detail(uint32_t status, const std::vector<uint8_t>& bytes)
    {
        return "status " + std::to_string(status) + ", " + std::to_string(bytes.size()) + " bytes";
    }

    ScriptedServer server_;
};

const std::vector<std::vector<const char*>> kCommands = {
    {"sensors"},
    {"read-sensor", "temperature", "cpu"},
    {"set-pwm", "rear-upper", "200"},
    {"controls"},
    {"read-control", "signals", "2"},
    {"set-control", "brightness", "6", "0x8004"},
    {"wmi", "query"},
    {"wmi", "set-critical-upper", "cpu", "80"},
    {"wmi", "set-critical-lower", "12v", "10800"}, // within reach: a success says nothing on stderr
    {"events"},
    {"fans"},
};

// Rows a command's JSON result lists in full when it succeeds.
size_t RowsOnSuccess(const std::string& command)
{
    return command == "sensors" || command == "wmi" ? quavtools::kSensorCount
           : command == "fans"                      ? quavtools::kFanCount
                                                    : 0;
}

// events --json prints the records as JSON lines, and a failure's {"error"} object (as every command
// prints it, over several lines) after them.
void CheckJsonLines(int code, const std::string& out)
{
    std::string_view rest = out;
    json last;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        Require(end != std::string_view::npos, "JSON lines end in a line end", out);
        last = json::parse(rest.substr(0, end), nullptr, false);
        if (last.is_discarded() && code != 0) {
            last = json::parse(rest, nullptr, false); // the error object closes the output
            Require(last.is_object() && last.contains("error"), "a failure ends with its \"error\"", out);
            return;
        }
        Require(last.is_object(), "each line is a JSON object", out);
        rest.remove_prefix(end + 1);
    }
    Require(code == 0 || last.contains("error"), "a failure ends with its \"error\"", out);
}

void CheckJsonResult(const std::vector<const char*>& args, int code, const std::string& out)
{
    if (std::string(args[0]) == "events") {
        CheckJsonLines(code, out);
        return;
    }
    const json result = json::parse(out, nullptr, false);
    Require(result.is_object(), "--json prints one JSON object", out);
    Require((code == 0) != result.contains("error"), "--json has an \"error\" exactly when it fails", out);
    const size_t rows = RowsOnSuccess(args[0]);
    if (code == 0 && rows != 0 && (args.size() == 1 || std::string(args[1]) == "query")) {
        const char* list = std::string(args[0]) == "fans" ? "fans" : "sensors";
        Require(result.contains(list) && result[list].size() == rows, "a listing has every sensor", out);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool json_output = (data[0] & 0x80) != 0;
    std::vector<const char*> args = kCommands[(data[0] & 0x7F) % kCommands.size()];
    const std::string_view script(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<const char*> argv = {"quavctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (json_output) {
        argv.push_back("--json");
    }
    std::ostringstream out;
    std::ostringstream err;
    const int code = quavctl::Run(
        static_cast<int>(argv.size()), argv.data(),
        [script](const std::string&) { return std::make_unique<CheckedTransport>(script); }, out, err);
    const std::string detail = "exit " + std::to_string(code) + "\n" + out.str() + err.str();
    Require(code == 0 || code == quavctl::kExitRefused || code == quavctl::kExitUnreachable,
            "quavctl ends with 0, 1 or 2", detail);
    if (json_output) {
        CheckJsonResult(args, code, out.str());
    } else if (code == quavctl::kExitUnreachable) {
        // events shows the records it got before the bad reply.
        Require((out.str().empty() || std::string(args[0]) == "events") &&
                    err.str().rfind("quavctl: ", 0) == 0 && err.str().find('\n') == err.str().size() - 1,
                "a bad reply is one line on the error stream", detail);
    } else if (code == 0) {
        // An empty event log shows as nothing.
        Require(err.str().empty() && (!out.str().empty() || std::string(args[0]) == "events"),
                "a success prints its result alone", detail);
    }
    return 0;
}
