// quavctl's commands against the running driver, through the JSON-line protocol without a socket: its
// requests go straight into a session of quavsim serve on the test's own thread.
#include <initializer_list>
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

struct Outcome {
    int exit_code;
    std::string out;
    std::string err;
    json Json() const { return json::parse(out); }
};

Outcome RunWith(const quavctl::Connect& connect, std::initializer_list<const char*> args)
{
    std::vector<const char*> argv{"quavctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::ostringstream out;
    std::ostringstream err;
    const int code = quavctl::Run(static_cast<int>(argv.size()), argv.data(), connect, out, err);
    return {code, out.str(), err.str()};
}

class QuavctlTest : public ServedTest {
protected:
    Outcome Run(std::initializer_list<const char*> args)
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
// what is taken; a limit no reading can cross is sent with a warning.
TEST_F(QuavctlTest, CommandLinesSayWhatTheyTake)
{
    const struct {
        std::vector<const char*> args;
        int exit_code;
        const char* out; // in the output, "" for none
        const char* err; // in the error stream, "" for none
    } cases[] = {
        {{"set-pwm", "rear-upper", "256"}, 64, "", "VALUE: Value 256 not in range 0 to 255"},
        {{"read-sensor", "rear-uper"},
         64,
         "",
         "no sensor 'rear-uper'; did you mean 'rear-upper'? (the sensors: "
         "rear-upper, rear-bottom, cpu, system, backplane, vrm, vccp,"},
        {{"read-sensor", "fan", "turbine"}, 64, "", "no sensor 'turbine' (the sensors:"},
        {{"read-sensor", "tmperature", "cpu"}, 64, "", "did you mean 'temperature'?"},
        {{"read-sensor", "9"}, 64, "", "sensor 9: give its type too"},
        {{"set-pwm", "cpu", "9"}, 64, "", "no fan 'cpu' (the fans: rear-upper, rear-bottom)"},
        {{"set-control", "signal", "3", "0x8101"}, 64, "", "did you mean 'signals'?"},
        {{"set-control", "fwp-mode", "18", "hihg"}, 64, "", "no FWP mode value 'hihg'; did you mean 'high'?"},
        {{"set-control", "3", "2", "high"}, 64, "", "class 3 has no value names"},
        {{"wmi", "set-critical-upper", "cpuu", "90"}, 64, "", "did you mean 'cpu'?"},
        {{"--json", "read-sensor", "gpu"}, 64, R"("exit_status": 64)", ""},
        {{"--version"}, 0, "quavctl " QUAV_VERSION_TEXT "\n", ""},
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
        std::vector<const char*> argv{"quavctl"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::ostringstream out;
        std::ostringstream err;
        const int code = quavctl::Run(
            static_cast<int>(argv.size()), argv.data(),
            [this](const std::string&) { return std::make_unique<SessionTransport>(session_); }, out, err);
        const std::string line = c.args.back();
        EXPECT_EQ(code, c.exit_code) << line << "\n" << out.str() << err.str();
        EXPECT_NE(out.str().find(c.out), std::string::npos) << line << "\n" << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << line << "\n" << err.str();
        if (c.exit_code == 64) {
            EXPECT_EQ(out.str().empty(), c.out[0] == '\0') << line; // JSON only when asked for
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

} // namespace
