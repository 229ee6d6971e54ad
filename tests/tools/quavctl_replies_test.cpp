// quavctl against a server that answers wrongly: every malformed reply is reported as a bad reply (exit 2)
// and nothing of it is used; a driver's failure stays a refusal (exit 1); a wrong command line is a usage
// error (64) before anything is sent; a server that never answers or never accepts ends in exit 2.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "usermode.h"
#include "socket_transport.h"

namespace {

using nlohmann::json;

// Answers each op with its scripted line; an open and a close succeed unless scripted otherwise.
class ScriptedTransport : public quavctl::LineTransport {
public:
    explicit ScriptedTransport(std::map<std::string, std::string> replies) : replies_(std::move(replies))
    {
        replies_.emplace("open", R"({"status":0,"handle":4})");
        replies_.emplace("close", R"({"status":0})");
        replies_.emplace("device-control", R"({"status":0,"information":64,"output":")" +
                                               std::string(2 * sizeof(SENSOR_RECORD), '0') + "\"}");
    }
    ~ScriptedTransport() override { CloseDevice(); }

protected:
    std::string Exchange(const std::string& line) override
    {
        const auto it = replies_.find(json::parse(line).at("op").get<std::string>());
        if (it == replies_.end()) {
            throw quavctl::TransportError("unscripted request " + line);
        }
        return it->second;
    }

private:
    std::map<std::string, std::string> replies_;
};

struct Outcome {
    int exit_code;
    std::string out;
    std::string err;
};

Outcome RunQuavctl(std::vector<const char*> args, const quavctl::Connect& connect)
{
    args.insert(args.begin(), "quavctl");
    std::ostringstream out;
    std::ostringstream err;
    const int code = quavctl::Run(static_cast<int>(args.size()), args.data(), connect, out, err);
    return {code, out.str(), err.str()};
}

Outcome RunScripted(std::vector<const char*> args, const std::string& op, const std::string& reply)
{
    return RunQuavctl(std::move(args), [&](const std::string&) {
        return std::make_unique<ScriptedTransport>(std::map<std::string, std::string>{{op, reply}});
    });
}

std::string Zeros(size_t bytes)
{
    return std::string(2 * bytes, '0');
}

const std::string kRecordSize = std::to_string(sizeof(SENSOR_RECORD));
const std::string kBlock = Zeros(12 * sizeof(SENSOR_DATA_ENTRY));

TEST(QuavctlReplies, MalformedRepliesAreBadRepliesAndNothingIsUsed)
{
    const std::vector<const char*> query{"wmi", "query"};
    const std::vector<const char*> read{"read-sensor", "temperature", "cpu"};
    const std::vector<const char*> method{"wmi", "set-critical-upper", "cpu", "90"};
    const std::vector<const char*> events{"events"};
    const std::vector<const char*> fans{"fans"};
    const std::string kEvent = R"({"text":"1.0 s  Error  QUAV  9  hot","json":"{\"event_id\":9}"})";
    const std::string not_whole = "\"status\" is not a whole number from 0 to 4294967295";
    struct Case {
        std::vector<const char*> args;
        std::string op;
        std::string reply;
        int exit_code;
        std::string says; // in the error stream
    } cases[] = {
        // The reply the defect was found with: success and no bytes of the block.
        {query, "wmi-query", R"({"status":0,"data":""})", 2, "the WMI data block has 0 bytes"},
        {query, "wmi-query", R"({"status":0})", 2, "a successful query without \"data\""},
        {query, "wmi-query", R"({"status":0,"data":"0011"})", 2, "the WMI data block has 2 bytes"},
        {query, "wmi-query", R"({"status":0,"data":12})", 2, "\"data\" is not a string of hex digits"},
        {query, "wmi-query", R"({"status":0,"data":"0g"})", 2, "\"data\" is not a string of hex digits"},
        {query, "wmi-query", R"({"status":-1})", 2, not_whole},
        {query, "wmi-query", R"({"status":4294967296})", 2, not_whole},
        {query, "wmi-query", R"({"status":1.5})", 2, not_whole},
        {query, "wmi-query", R"({"status":"0"})", 2, not_whole},
        {query, "wmi-query", R"({"data":"00"})", 2, "it has no \"status\""},
        {query, "wmi-query", "[0]", 2, "it is not a JSON object"},
        {query, "wmi-query", "", 2, "it is not JSON"},
        {query, "wmi-query", "\xff\x1b[2J", 2, "it is not JSON): \\xff\\x1b[2J"}, // shown, not obeyed
        {query, "wmi-query", R"({"error":5})", 2, "its \"error\" is not a string"},
        {query, "wmi-query", R"({"error":"busy"})", 2, "quavsim refused the request: busy"},
        // Sound replies: a failure carries no data; fields nobody knows are ignored.
        {query, "wmi-query", R"({"status":3221225485})", 1, "STATUS_INVALID_PARAMETER (0xC000000D)"},
        {query, "wmi-query", R"({"status":0,"new":1,"data":")" + kBlock + "\"}", 0, ""},

        {read, "open", R"({"status":0})", 2, "the device was opened without naming the handle"},
        {read, "open", R"({"status":0,"handle":-3})", 2, "\"handle\" is not a whole number"},
        {read, "device-control", R"({"status":0,"information":)" + kRecordSize + R"(,"output":""})", 2,
         "\"information\" says " + kRecordSize + " bytes but \"output\" has 0"},
        {read, "device-control", R"({"status":0,"information":100,"output":""})", 2,
         "\"information\" says 100 bytes, more than the " + kRecordSize + " asked for"},
        {read, "device-control", R"({"status":0,"output":""})", 2, "it has no \"information\""},
        {read, "device-control", R"({"status":0,"information":0})", 2, "it has no \"output\""},
        {read, "device-control",
         R"({"status":0,"information":0,"output":")" + Zeros(sizeof(SENSOR_RECORD) + 1) + "\"}", 2,
         "\"output\" has " + std::to_string(sizeof(SENSOR_RECORD) + 1) + " bytes, more than the " +
             kRecordSize + " asked for"},
        {read, "device-control", R"({"status":0,"information":4,"output":"00000000"})", 2,
         "the driver returned 4 bytes for a " + kRecordSize + "-byte record"},
        {read, "device-control", R"({"status":3221225485,"information":0,"output":""})", 1,
         "STATUS_INVALID_PARAMETER (0xC000000D)"},

        {method, "wmi-method", R"({"status":0,"output":"00"})", 2,
         "\"output\" has 1 bytes, more than the 0 asked for"},
        {method, "wmi-method", R"({"status":0})", 0, ""},

        // The event log: no more records than the log holds past those seen, at least one while there are
        // any, each one line of text and a JSON object.
        {events, "events", R"({"total":1,"events":[]})", 2, "0 events after the first 0 of 1"},
        {events, "events", R"({"total":0,"events":[)" + kEvent + "]}", 2, "1 events after the first 0 of 0"},
        {events, "events", R"({"events":[]})", 2, "it has no \"total\""},
        {events, "events", R"({"total":0,"events":{}})", 2, "it has no \"events\" list"},
        {events, "events", R"({"total":1,"events":[{"text":"a\u001b[2J","json":"{}"}]})", 2,
         "an event's \"text\" holds a control character"},
        {events, "events", R"({"total":1,"events":[{"text":"a","json":"[1]"}]})", 2,
         "an event's \"json\" is not a JSON object"},
        {events, "events", R"({"total":1,"events":[{"json":"{}"}]})", 2,
         "an event without a string \"text\""},
        {events, "events", R"({"total":0,"events":[]})", 0, ""},
        // A published value: its type and bytes come with a success, and only a DWORD is shown.
        {fans, "registry-value", R"({"status":0,"data":"05000000"})", 2, "a value read without its \"type\""},
        {fans, "registry-value", R"({"status":0,"type":4})", 2, "it has no \"data\""},
        {fans, "registry-value", R"({"status":0,"type":4,"data":"0500"})", 0, ""},
        {fans, "registry-value", R"({"status":3221225524})", 0, ""},
    };
    for (const Case& c : cases) {
        const Outcome r = RunScripted(c.args, c.op, c.reply);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.reply << "\n" << r.err;
        if (c.says.empty()) {
            EXPECT_EQ(r.err, "") << c.reply;
        } else {
            EXPECT_EQ(r.err.rfind("quavctl: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << c.reply << "\n" << r.err;
        }
        if (c.exit_code == 2) {
            EXPECT_EQ(r.out, "") << c.reply;
        }
    }

    // A sound event reply prints its lines as they came; a value not a DWORD is shown as not published.
    EXPECT_EQ(RunScripted(events, "events", R"({"total":1,"events":[)" + kEvent + "]}").out,
              "1.0 s  Error  QUAV  9  hot\n");
    EXPECT_EQ(RunScripted({"--json", "events"}, "events", R"({"total":1,"events":[)" + kEvent + "]}").out,
              "{\"event_id\":9}\n");
    EXPECT_NE(RunScripted(fans, "registry-value", R"({"status":0,"type":4,"data":"0500"})")
                  .out.find("Rear Upper   0 RPM          -  -           unknown\n"),
              std::string::npos);

    // With --json the message is the result's "error", valid JSON whatever bytes the server sent.
    const Outcome r = RunScripted({"--json", "wmi", "query"}, "wmi-query", "\xc3(\x80");
    EXPECT_EQ(r.exit_code, 2);
    const json result = json::parse(r.out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << r.out;
    EXPECT_NE(result.value("error", "").find("\\xc3(\\x80"), std::string::npos) << r.out;
}

TEST(QuavctlReplies, CommandLineErrorsAreUsageErrors)
{
    bool connected = false;
    const quavctl::Connect connect = [&](const std::string&) -> std::unique_ptr<quavctl::Transport> {
        connected = true;
        throw quavctl::TransportError("not to be reached");
    };
    const std::pair<std::vector<const char*>, int> cases[] = {
        {{}, quavctl::kExitUsage},
        {{"set-pwm", "rear-upper", "256"}, quavctl::kExitUsage},
        {{"read-sensor", "fan", "turbine"}, quavctl::kExitUsage},
        {{"read-sensor", "fan"}, quavctl::kExitUsage},
        {{"--frobnicate", "sensors"}, quavctl::kExitUsage},
        {{"wmi"}, quavctl::kExitUsage},
        {{"wmi", "set-critical-lower", "cpu", "cold"}, quavctl::kExitUsage},
        {{"--help"}, 0},
    };
    for (const auto& [args, exit_code] : cases) {
        const Outcome r = RunQuavctl(args, connect);
        EXPECT_EQ(r.exit_code, exit_code) << (args.empty() ? "(none)" : args[0]) << "\n" << r.err;
        EXPECT_NE(r.out + r.err, "");
    }
    EXPECT_FALSE(connected);
}

// A listening socket nobody serves: connections queue (one, at a backlog of 0) and no reply ever comes.
class SilentServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/quav-silent-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        path_ = (root_ / "quav.sock").string();
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        ASSERT_EQ(bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_, 0), 0);
    }
    void TearDown() override
    {
        close(listener_);
        std::filesystem::remove_all(root_);
    }

    static std::string ErrorOf(const std::function<void()>& f)
    {
        try {
            f();
        } catch (const quavctl::TransportError& e) {
            return e.what();
        }
        return "(no error)";
    }

    std::filesystem::path root_;
    std::string path_;
    int listener_ = -1;
};

TEST_F(SilentServerTest, NoReplyAndNoRoomEndInTheTimeout)
{
    constexpr std::chrono::milliseconds kShort{1};
    // quavctl itself: the silence is named and the command ends as an unreachable server does.
    const Outcome silent = RunQuavctl({"--socket", path_.c_str(), "sensors"}, [&](const std::string& path) {
        return std::make_unique<quavctl::SocketTransport>(path, kShort);
    });
    EXPECT_EQ(silent.exit_code, quavctl::kExitUnreachable);
    EXPECT_EQ(silent.err, "quavctl: quavsim at " + path_ + " did not answer within 1 ms\n");
    close(accept(listener_, nullptr, nullptr));     // its connection, gone, leaves the queue
    quavctl::SocketTransport queued(path_, kShort); // takes the one place in the queue
    std::vector<uint8_t> data;
    EXPECT_EQ(ErrorOf([&] { queued.WmiQuery(&data); }),
              "quavsim at " + path_ + " did not answer within 1 ms");
    const std::string full = ErrorOf([&] { quavctl::SocketTransport second(path_, kShort); });
    EXPECT_NE(full.find("it accepts no more connections"), std::string::npos) << full;
}

} // namespace
