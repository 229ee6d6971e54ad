// quavctl's commands against the running driver, through the JSON-line protocol without a socket: its
// requests go straight into a session of quavsim serve on the test's own thread. And quavctl against a
// server that answers wrongly: every malformed reply is reported as a bad reply (exit 2) and nothing of it
// is used; a driver's failure stays a refusal (exit 1); a wrong command line is a usage error (64) before
// anything is sent; a server that never answers or never accepts ends in exit 2.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "commands.h"
#include "platform.h"
#include "quavpub.h"
#include "served.h"
#include "session_transport.h"
#include "socket_transport.h"
#include "status_names.h"

namespace {

using nlohmann::json;

// Answers every request with the same line, as a server that is not quavsim might.
class CannedTransport : public quavctl::LineTransport {
public:
    explicit CannedTransport(std::string reply) : reply_(std::move(reply)) {}

protected:
    std::string Exchange(const std::string&) override { return reply_; }

private:
    std::string reply_;
};

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
    json Json() const { return json::parse(out); }
};

Outcome RunWith(const quavctl::Connect& connect, std::vector<const char*> args)
{
    args.insert(args.begin(), "quavctl");
    std::ostringstream out;
    std::ostringstream err;
    const int code = quavctl::Run(static_cast<int>(args.size()), args.data(), connect, out, err);
    return {code, out.str(), err.str()};
}

class QuavctlTest : public ServedTest {
protected:
    Outcome Run(std::vector<const char*> args)
    {
        return RunWith([this](const std::string&) { return std::make_unique<SessionTransport>(session_); },
                       args);
    }

    // The line of `sensors` text output for one sensor.
    static std::string LineOf(const std::string& text, const std::string& name)
    {
        const size_t at = text.find("\n" + name + ":");
        return at == std::string::npos ? "" : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    }
};

TEST_F(QuavctlTest, SensorsShowsEveryReadingWithItsLimitsAndState)
{
    Outcome r = Run({"sensors"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const char* name : {"Rear Upper", "Rear Bottom", "CPU", "System", "Backplane", "VRM", "VCCP", "1.8V",
                             "3.3V", "5V", "12V", "AUX"}) {
        EXPECT_NE(LineOf(r.out, name), "") << name << " missing from\n" << r.out;
    }
    EXPECT_EQ(LineOf(r.out, "CPU"),
              "CPU:             +45 °C  (crit low =      +0 °C, crit high =     +85 °C)  ok");
    EXPECT_EQ(LineOf(r.out, "12V"),
              "12V:           12.032 V  (crit low =   10.800 V, crit high =   13.200 V)  ok");
    EXPECT_NE(LineOf(r.out, "Rear Upper").find("2402 RPM  (crit low =    400 RPM"), std::string::npos);

    // Critical against the limits the driver reports: a hot CPU, then a limit lowered through WMI.
    simulation_.board().SetSensor("CPU", 90);
    r = Run({"sensors", "--json"});
    ASSERT_EQ(r.exit_code, 0);
    json rows = r.Json()["sensors"];
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[2]["name"], "CPU");
    EXPECT_EQ(rows[2]["value"], 90);
    EXPECT_EQ(rows[2]["state"], "CRITICAL");
    EXPECT_EQ(rows[3]["state"], "ok");
    ASSERT_EQ(Run({"wmi", "set-critical-upper", "system", "30"}).exit_code, 0);
    rows = Run({"--json", "sensors"}).Json()["sensors"];
    EXPECT_EQ(rows[3]["critical_upper"], 30);
    EXPECT_EQ(rows[3]["state"], "CRITICAL");
    EXPECT_EQ(rows[10]["name"], "12V");
    EXPECT_EQ(rows[10]["value"], 12032);
    EXPECT_EQ(rows[10]["unit"], "mV");
}

TEST_F(QuavctlTest, RequestsByNumberOrName)
{
    Outcome r = Run({"read-sensor", "voltage", "12v", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.Json()["value"], 12032);
    EXPECT_EQ(r.Json()["id"], SENSOR_ID_V12);
    EXPECT_EQ(Run({"read-sensor", "7", "19"}).out, "VRM: +44 °C\n");
    EXPECT_EQ(Run({"read-sensor", "Rear Bottom"}).out,
              "Rear Bottom: 2250 RPM\n"); // the name implies the type

    r = Run({"set-pwm", "rear-bottom", "0x90"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Rear Bottom: PWM set to 144 (0x90)\n");
    EXPECT_EQ(superio().Register(0x16), 0x90);

    ASSERT_EQ(Run({"set-control", "signals", "3", "0x8101"}).exit_code, 0);
    r = Run({"read-control", "2", "3", "--json"});
    EXPECT_EQ(r.Json()["value"], VALUE_SIGNALS_LOW_HIGH);
    EXPECT_EQ(r.Json()["meaning"], "first low, second high");

    // Every item is listed; the pin pair and brightness show no value code until something sets them.
    r = Run({"controls", "--json"});
    EXPECT_EQ(r.exit_code, 0);
    json rows = r.Json()["controls"];
    ASSERT_EQ(rows.size(), 15u);
    EXPECT_EQ(rows[2]["value"], VALUE_SIGNALS_LOW_HIGH);
    EXPECT_EQ(rows[5]["meaning"], "no hardware");
    EXPECT_EQ(rows[13]["status_name"], "STATUS_UNSUCCESSFUL");
    ASSERT_EQ(Run({"set-control", "brightness", "6", "0x8203"}).exit_code, 0);
    EXPECT_EQ(Run({"read-control", "5", "6"}).out, "brightness (class 5, index 6): 0x8203 (level 3)\n");
    // The words output shows are taken as input.
    ASSERT_EQ(Run({"set-control", "brightness", "6", "level", "7"}).exit_code, 0);
    ASSERT_EQ(Run({"set-control", "signals", "4", "first high, second low"}).exit_code, 0);
    ASSERT_EQ(Run({"set-control", "pin-pair", "1", "Low,", "High,", "A", "off"}).exit_code, 0);
    ASSERT_EQ(Run({"set-control", "fwp-mode", "18", "low"}).exit_code, 0);
    rows = Run({"controls", "--json"}).Json()["controls"];
    EXPECT_EQ(rows[13]["value"], VALUE_BRIGHTNESS_0 + 7);
    EXPECT_EQ(rows[3]["value"], VALUE_SIGNALS_HIGH_LOW);
    EXPECT_EQ(rows[0]["value"], VALUE_PIN_PAIR_LOW_HIGH_A_OFF);
    EXPECT_EQ(rows[14]["value"], VALUE_FWP_LOW);

    r = Run({"wmi", "set-critical-lower", "VRM", "-5"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "VRM (WMI sensor 12): reported critical lower limit set to -5 °C\n");
    r = Run({"wmi", "query"});
    EXPECT_NE(r.out.find("\n12  VRM              +44 °C       -5 °C      +95 °C\n"), std::string::npos)
        << r.out;
}

TEST_F(QuavctlTest, RefusedRequestsNameTheStatusAndFail)
{
    Outcome r = Run({"read-sensor", "fan", "cpu"});
    EXPECT_EQ(r.exit_code, quavctl::kExitRefused);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quavctl: read-sensor type 6 id 9: STATUS_INVALID_PARAMETER (0xC000000D)\n");

    r = Run({"--json", "set-control", "3", "2", "0x8100"});
    EXPECT_EQ(r.exit_code, quavctl::kExitRefused);
    EXPECT_EQ(r.Json()["status"], 0xC00000BBu);
    EXPECT_EQ(r.Json()["status_name"], "STATUS_NOT_SUPPORTED");

    r = Run({"wmi", "set-critical-upper", "13", "1"});
    EXPECT_EQ(r.exit_code, quavctl::kExitRefused);
    EXPECT_NE(r.err.find("STATUS_INVALID_PARAMETER_MIX (0xC0000030)"), std::string::npos);

    EXPECT_EQ(quavtools::StatusText(0x12345678), "status 0x12345678");
}

// The command line is checked before anything is sent: a wrong one is status 64 with a message that says
// what is taken, and no connection is made for it; a limit no reading can cross is sent with a warning.
TEST_F(QuavctlTest, CommandLinesSayWhatTheyTake)
{
    const struct {
        std::vector<const char*> args;
        int exit_code;
        const char* out; // in the output, "" for none
        const char* err; // in the error stream, "" for none
    } cases[] = {
        {{}, 64, "", "A subcommand is required"},
        {{"set-pwm", "rear-upper", "256"}, 64, "", "VALUE: Value 256 not in range 0 to 255"},
        {{"read-sensor", "rear-uper"},
         64,
         "",
         "no sensor 'rear-uper'; did you mean 'rear-upper'? (the sensors: "
         "rear-upper, rear-bottom, cpu, system, backplane, vrm, vccp,"},
        {{"read-sensor", "fan", "turbine"}, 64, "", "no sensor 'turbine' (the sensors:"},
        {{"read-sensor", "fan"}, 64, "", ""},
        {{"read-sensor", "tmperature", "cpu"}, 64, "", "did you mean 'temperature'?"},
        {{"read-sensor", "9"}, 64, "", "sensor 9: give its type too"},
        {{"--frobnicate", "sensors"}, 64, "", "--frobnicate"},
        {{"set-pwm", "cpu", "9"}, 64, "", "no fan 'cpu' (the fans: rear-upper, rear-bottom)"},
        {{"set-control", "signal", "3", "0x8101"}, 64, "", "did you mean 'signals'?"},
        {{"set-control", "fwp-mode", "18", "hihg"}, 64, "", "no FWP mode value 'hihg'; did you mean 'high'?"},
        {{"set-control", "3", "2", "high"}, 64, "", "class 3 has no value names"},
        {{"wmi"}, 64, "", ""},
        {{"wmi", "set-critical-upper", "cpuu", "90"}, 64, "", "did you mean 'cpu'?"},
        {{"wmi", "set-critical-lower", "cpu", "cold"}, 64, "", "cold"},
        {{"--json", "read-sensor", "gpu"}, 64, R"("exit_status": 64)", ""},
        {{"--version"}, 0, "quavctl " QUAV_VERSION_TEXT "\n", ""},
        {{"--help"}, 0, "read-sensor", ""},
        {{"set-control", "--help"}, 0, "0x8101 first low, second high", ""},
        {{"wmi", "set-critical-lower", "cpu", "-300"},
         0,
         "",
         "warning: CPU reads -127 °C to +127 °C: a critical lower limit of -300 °C is never crossed"},
        {{"wmi", "set-critical-upper", "12v", "20000"},
         0,
         "",
         "a critical upper limit of 20.000 V is never crossed"},
        {{"wmi", "set-critical-upper", "rear-upper", "2000000"}, 0, "", "1350000 RPM"},
        {{"wmi", "set-critical-lower", "vrm", "300"}, 0, "", "is crossed by every reading"},
    };
    for (const auto& c : cases) {
        int connections = 0;
        const Outcome r = RunWith(
            [&](const std::string&) {
                connections++;
                return std::make_unique<SessionTransport>(session_);
            },
            c.args);
        const std::string line = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(r.exit_code, c.exit_code) << line << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << line << "\n" << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << line << "\n" << r.err;
        EXPECT_NE(r.out + r.err, "") << line;
        if (c.exit_code == 64) {
            EXPECT_EQ(r.out.empty(), c.out[0] == '\0') << line; // JSON only when asked for
        }
        if (c.exit_code == 64 || line == "--help") {
            EXPECT_EQ(connections, 0) << line;
        }
    }
    EXPECT_EQ(json::parse(Run({"--json", "read-sensor", "gpu"}).out)["error"],
              "read-sensor: no sensor 'gpu'; did you mean 'cpu'? (the sensors: rear-upper, rear-bottom, cpu, "
              "system, backplane, vrm, vccp, 1.8v, 3.3v, 5v, 12v, aux)");
}

// events shows the log as events.txt and events.jsonl have it, from any record on; fans shows what the
// driver published and what its configuration says drives each fan.
TEST_F(QuavctlTest, EventsAndFansShowWhatTheDriverLoggedAndPublished)
{
    simulation_.board().SetSensor("12V", 10000); // below its critical limit: the next poll logs it
    simulation_.RunFor(sim::Seconds(10));
    const sim::EventLog& log = simulation_.machine().eventlog();
    const size_t count = log.Count();
    ASSERT_GE(count, 2u);
    Outcome r = Run({"events"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, log.Text());
    EXPECT_NE(r.out.find("12V"), std::string::npos) << r.out;
    EXPECT_EQ(Run({"events", "--json"}).out, log.JsonLines());
    for (const size_t after : {size_t{1}, count - 1, count, count + 5}) {
        const json reply = Ask({{"op", "events"}, {"after", after}});
        EXPECT_EQ(reply["total"], count);
        ASSERT_EQ(reply["events"].size(), after < count ? count - after : 0) << after;
        if (after < count) {
            EXPECT_EQ(reply["events"][0]["text"].get<std::string>() + "\n", log.Text(after, 1));
        }
    }

    const std::string current =
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\FAN";
    const std::string config =
        "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters\\FanControl";
    sim::Registry& registry = simulation_.machine().registry();
    r = Run({"fans", "--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json rows = r.Json()["fans"];
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1]["name"], "Rear Bottom");
    EXPECT_EQ(rows[1]["stage"], *registry.GetDword(current, "FANCNTL_RB_CURRENT_STAGE"));
    EXPECT_EQ(rows[1]["pwm"], *registry.GetDword(current, "FANCNTL_RB_CURRENT_PWM"));
    EXPECT_EQ(rows[1]["rpm"], Run({"--json", "read-sensor", "fan", "rear-bottom"}).Json()["value"]);
    EXPECT_EQ(rows[0]["mode"], "table on CPU, System");

    // The mode as the configuration gives it; what was not published reads as "-".
    registry.DeleteValue(current, "FANCNTL_RB_CURRENT_PWM");
    const std::pair<std::optional<uint32_t>, const char*> modes[] = {
        {0x8004, "automatic on Backplane"}, {0x800E, "automatic on System"}, {0x8000, "automatic, no input"},
        {0x9, "table on CPU, VRM"},         {0, "table, no temperature"},    {std::nullopt, "unknown"},
    };
    for (const auto& [mode, meaning] : modes) {
        if (mode) {
            registry.SetDword(config, "FANCNTL_RB_MODE", *mode);
        } else {
            registry.DeleteValue(config, "FANCNTL_RB_MODE");
        }
        r = Run({"fans"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const std::string line = r.out.substr(r.out.find("\nRear Bottom") + 1);
        EXPECT_NE(line.find(std::string("  -           ") + meaning + "\n"), std::string::npos) << r.out;
    }
}

TEST(Quavctl, UnreachableOrConfusedServerIsNotADriverRefusal)
{
    auto refuse = [](const std::string& path) -> std::unique_ptr<quavctl::Transport> {
        throw quavctl::TransportError("cannot connect to quavsim at " + path + ": No such file or directory");
    };
    Outcome r = RunWith(refuse, {"--socket", "/nowhere/quav.sock", "sensors"});
    EXPECT_EQ(r.exit_code, quavctl::kExitUnreachable);
    EXPECT_EQ(r.err, "quavctl: cannot connect to quavsim at /nowhere/quav.sock: No such file or directory\n");

    for (const char* reply :
         {R"({"error":"unknown op"})", "hello", R"({"status":"ok"})", R"({"status":0,"data":"x"})"}) {
        r = RunWith([&](const std::string&) { return std::make_unique<CannedTransport>(reply); },
                    {"wmi", "query", "--json"});
        EXPECT_EQ(r.exit_code, quavctl::kExitUnreachable) << reply;
        EXPECT_TRUE(r.Json().contains("error")) << reply;
    }
}

Outcome RunScripted(std::vector<const char*> args, const std::string& op, const std::string& reply)
{
    return RunWith(
        [&](const std::string&) {
            return std::make_unique<ScriptedTransport>(std::map<std::string, std::string>{{op, reply}});
        },
        std::move(args));
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

    std::filesystem::path root_;
    std::string path_;
    int listener_ = -1;
};

TEST_F(SilentServerTest, NoReplyAndNoRoomEndInTheTimeout)
{
    constexpr std::chrono::milliseconds kShort{1};
    // quavctl itself: the silence is named and the command ends as an unreachable server does.
    const Outcome silent = RunWith(
        [&](const std::string& path) { return std::make_unique<quavctl::SocketTransport>(path, kShort); },
        {"--socket", path_.c_str(), "sensors"});
    EXPECT_EQ(silent.exit_code, quavctl::kExitUnreachable);
    EXPECT_EQ(silent.err, "quavctl: quavsim at " + path_ + " did not answer within 1 ms\n");
    close(accept(listener_, nullptr, nullptr));     // its connection, gone, leaves the queue
    quavctl::SocketTransport queued(path_, kShort); // takes the one place in the queue
    std::vector<uint8_t> data;
    EXPECT_EQ(ErrorOf<quavctl::TransportError>([&] { queued.WmiQuery(&data); }),
              "quavsim at " + path_ + " did not answer within 1 ms");
    const std::string full =
        ErrorOf<quavctl::TransportError>([&] { quavctl::SocketTransport second(path_, kShort); });
    EXPECT_NE(full.find("it accepts no more connections"), std::string::npos) << full;
}

} // namespace
