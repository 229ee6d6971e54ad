// Scenarios: what a bad file is told, and what a good one does to the board and the driver.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <set>
#include <sstream>

#include "actions.h"
#include "default_config.h"
#include "plant.h"
#include "quavmsg.h"
#include "scenario_run.h"
#include "status_names.h"

#include "quavpub.h" // after the platform's types

namespace {

using quavsim::ParseScenario;

std::string ParseError(const std::string& text)
{
    return ErrorOf<quavsim::ScenarioError>([&] { ParseScenario(text, "s.json"); });
}

// Each row is the file but its "duration": 60, unless it is the whole file.
TEST(Scenario, ABadFileNamesTheFieldAndItsPlace)
{
    const struct {
        const char* text;
        const char* error; // after "s.json: "
    } cases[] = {
        {R"({"duration": 60,)", "not valid JSON: parse error at line 1, column 17"},
        {"{\n \"duration\": 60\n \"sample\": 1}", "not valid JSON: parse error at line 3, column"},
        {R"({})", "/: missing field \"duration\""},
        {R"("sensor": {})", "/sensor: unknown field (expected one of: description,"},
        {R"({"duration": "1x"})", "/duration: expected a time"},
        {"{\n \"duration\": 1e400}", "not valid JSON: at line 2: number overflow parsing '1e400'"},
        {R"("sample": "0xfe")", "/sample: expected a time"},
        {R"("sample": "10s0d")", "/sample: expected a time"},
        {R"("sensors": {"GPU": [{"at": 0, "value": 1}]})",
         "/sensors/GPU: no sensor \"GPU\" (the sensors are \"Rear Upper\","},
        {R"("sensors": {"CPU": [{"at": 5, "value": 1}, {"at": 4, "value": 2}]})",
         "/sensors/CPU/1/at: points must be in time order"},
        {R"("sensors": {"CPU": [{"at": 5, "value": 1, "ramp": true}]})",
         "/sensors/CPU/0/ramp: the first point has nothing to ramp from"},
        {R"("sensors": {"CPU": [{"at": 0, "value": 300}]})", "/sensors/CPU/0/value: out of range -127..127"},
        {R"("registers": [{"at": 1, "chip": "superio", "register": "0x1zz", "value": 1}])",
         "/registers/0/register: expected a whole number, got \"0x1zz\""},
        {R"("faults": [{"at": 1, "fault": "fire"}])", "/faults/0/fault: no fault \"fire\""},
        {R"("faults": [{"at": 1, "fault": "smbus-hang", "count": 2, "for": 3}])",
         "/faults/0/for: give \"count\" or \"for\", not both"},
        {R"("faults": [{"at": 61, "fault": "smbus-hang"}])",
         "/faults/0/at: after the end of the run (duration 60.0000000 s)"},
        {R"("sensors": {"CPU": [{"at": 0, "value": 40}, {"at": "2m", "value": 90, "ramp": true}]})",
         "/sensors/CPU/1/at: after the end of the run"},
        {R"("plant": {"ambient": [{"at": 0, "value": 20}], "heat": [{"at": 0, "value": 1}, {"at": 90, "value": 5}]})",
         "/plant/heat/1/at: after the end of the run"},
        {R"("actions": [{"at": 1, "action": "set-pwm", "sensor": "CPU", "value": 9}])",
         "/actions/0/sensor: set-pwm takes a fan"},
        {R"("actions": [{"at": 1, "action": "set-pwm", "sensor": "Rear Upper", "value": 256}])",
         "/actions/0/value: out of range 0..255"},
        // 2^64 - 2^31: as a signed number it would be INT32_MIN.
        {R"("actions": [{"at": 1, "action": "wmi-set-critical-lower", "sensor": 1, "value": 18446744071562067968}])",
         "/actions/0/value: out of range -2147483648..2147483647"},
        {R"("actions": [{"at": 1, "action": "wmi-query", "expect": "STATUS_FINE"}])",
         "/actions/0/expect: unknown status name \"STATUS_FINE\""},
        {R"("actions": [{"at": 1, "action": "read-sensor", "sensor": "CPU", "repeat": 3}])",
         "/actions/0: missing field \"every\""},
        {R"("actions": [{"at": 1, "action": "pnp", "request": "reboot"}])",
         "/actions/0/request: no Plug and Play request \"reboot\""},
        {R"("plant": {"ambient": [{"at": 0, "value": 20}]})", "/plant: missing field \"heat\""},
        {R"("config": "missing.reg")", "/config: no such file missing.reg"},
        {R"("board": {"fans": 3})", "/board/fans: unknown field (expected one of: superio, southbridge)"},
        {R"("board": {"superio": "gone"})", "/board/superio: expected \"absent\" or an object"},
        {R"("board": {"superio": {"port": "0x3E"}})", "/board/superio/port: expected \"0x2E\" or \"0x4E\""},
        {R"("board": {"superio": {"identity": ["0x90"]}})",
         "/board/superio/identity: expected the two bytes of registers 0x58 and 0x5B"},
        {R"("board": {"superio": {"registers": {"0x1zz": 1}}})",
         "/board/superio/registers/0x1zz: expected a whole number, got \"0x1zz\""},
        {R"("board": {"superio": {"registers": {"0x0c": 256}}})",
         "/board/superio/registers/0x0c: out of range 0..255"},
        {R"("board": {"superio": {"busy": 0}})", "/board/superio/busy: out of range 1..1000000"},
        {R"("board": {"southbridge": {"hung": "often"}})",
         "/board/southbridge/hung: expected a count (1 or more) or \"always\""},
        {R"("board": {"southbridge": {"sensor": "no"}})",
         "/board/southbridge/sensor: expected true (the SMBus sensor answers) or false"},
        {R"("board": {"southbridge": {"device": "0x10000"}})",
         "/board/southbridge/device: out of range 0..65535"},
        {R"("board": {"superio": "absent"}, "faults": [{"at": 1, "fault": "controller-busy"}])",
         "/faults/0/fault: the board has no Super I/O (/board/superio)"},
        {R"("board": {"superio": "absent"}, )"
         R"("registers": [{"at": 1, "chip": "superio", "register": 1, "value": 1}])",
         "/registers/0/chip: the board has no Super I/O (/board/superio)"},
        {R"("start": "STATUS_NOPE")", "/start: unknown status name \"STATUS_NOPE\""},
        {R"("actions": [{"at": 1, "action": "open", "as": "guest"}])",
         "/actions/0/as: expected \"user\" or \"administrator\""},
        {R"("actions": [{"at": 1, "action": "open", "as": "user", "path": "\\\\.\\Q\u00e9"}])",
         "/actions/0/path: expected a path in printable ASCII"},
        {R"("actions": [{"at": 1, "action": "read-sensor", "sensor": "CPU", "handle": "h"}])",
         "/actions/0/handle: no \"open\" action opens a handle \"h\""},
        {R"("actions": [{"at": 1, "action": "wmi-query", "handle": "h"}])",
         "/actions/0/handle: unknown field for wmi-query"},
    };
    for (const auto& c : cases) {
        const std::string text =
            c.text[0] == '{' ? c.text : std::string(R"({"duration": 60, )") + c.text + "}";
        const std::string error = ParseError(text);
        EXPECT_EQ(error.rfind(std::string("s.json: ") + c.error, 0), 0u) << text << "\n  gave: " << error;
    }
}

TEST(Scenario, TimesAndTimelines)
{
    EXPECT_EQ(quavsim::ParseDuration("90"), sim::Seconds(90));
    EXPECT_EQ(quavsim::ParseDuration("1h30m"), sim::Seconds(5400));
    EXPECT_EQ(quavsim::ParseDuration("2.5s"), sim::Ms(2500));
    EXPECT_EQ(quavsim::ParseDuration("1e3"), sim::Seconds(1000));
    for (const char* bad :
         {"", "h", "1h30", "1d", "-5", "5 m", "0d", "10m0x", "0x10", "0x1p3s", "1e400", "0inf"}) {
        EXPECT_FALSE(quavsim::ParseDuration(bad).has_value()) << bad;
    }
    const quavsim::Scenario s = ParseScenario(
        R"({"duration": "1h", "sensors": {"CPU": [{"at": 10, "value": 40}, {"at": 20, "value": 60, "ramp": true},
            {"at": 30, "value": 30}]}})",
        "s.json");
    const quavsim::Timeline& cpu = s.sensors.at(2);
    EXPECT_EQ(cpu.At(0), 40);                // before the first point: its value
    EXPECT_EQ(cpu.At(sim::Seconds(15)), 50); // half-way up the ramp
    EXPECT_EQ(cpu.At(sim::Seconds(25)), 60); // a step holds until its point
    EXPECT_EQ(cpu.At(sim::Seconds(30)), 30);
    EXPECT_TRUE(cpu.RampsWithin(0, sim::Seconds(12)));
    EXPECT_FALSE(cpu.RampsWithin(sim::Seconds(20), sim::Seconds(40)));
}

TEST(Plant, TheFansCoolAndAStoppedFanWarms)
{
    quavsim::PlantOptions o;
    o.ambient.points = {{0, 30, false}};
    o.heat.points = {{0, 60, false}};
    quavsim::Plant slow(o, 0, {1000, 1000});
    quavsim::Plant fast(o, 0, {1000, 1000});
    slow.Advance(sim::Seconds(3600), quavsim::Plant::Duties({60, 60}));
    fast.Advance(sim::Seconds(3600), quavsim::Plant::Duties({250, 250}));
    EXPECT_NEAR(fast.rpm(0), fast.TargetRpm(250), 1.0); // an hour is long enough to settle
    EXPECT_GT(slow.temperature(0), fast.temperature(0) + 5);
    for (int node = 0; node < quavsim::Plant::kNodes; node++) {
        EXPECT_GT(fast.temperature(node), 30.0); // never below the room
    }
    // The processor's node follows a change within minutes; the backplane lags behind.
    const double cpu = fast.temperature(0);
    const double backplane = fast.temperature(2);
    fast.OverrideRpm(0, 0.0);
    fast.OverrideRpm(1, 0.0);
    fast.Advance(sim::Seconds(3600 + 300), quavsim::Plant::Duties({250, 250}));
    EXPECT_EQ(fast.rpm(0), 0.0);
    EXPECT_GT(fast.temperature(0) - cpu, 2 * (fast.temperature(2) - backplane));
    EXPECT_EQ(fast.TargetRpm(0), 0.0);
}

// The fans follow the controller's registers: an output not given to the controller drives nothing (the
// fan runs flat out); armed by its parameters, a fan in automatic operation follows its temperature input
// between the start and full-speed temperatures, not a duty.
TEST(Plant, FansFollowTheControllerRegisters)
{
    quavsim::PlantOptions o;
    o.ambient.points = {{0, 25, false}};
    o.heat.points = {{0, 40, false}};
    const quavsim::Plant plant(o, 0, {1000, 1000});
    using Controller = quavsim::Plant::Controller;
    const double idle = o.idle_rpm, full = o.max_rpm, third = o.idle_rpm + (o.max_rpm - o.idle_rpm) / 3;
    const std::array<uint8_t, 5> armed = {0x00, 45, 60, 0x06, 0x84}; // as the driver's start-up writes them
    const std::array<uint8_t, 5> unarmed = {0x00, 45, 60, 0x06, 0x04};
    auto duty = [&plant](uint8_t pwm) { return plant.TargetRpm(pwm); };
    const struct {
        const char* name;
        Controller c;
        double fan1, fan2;
    } cases[] = {
        {"duties", {0x33, 0xF0, {0, 255}, {}, {}}, 0, full},
        {"fan 1's bit 4 off", {0x23, 0xF0, {0, 255}, {}, {}}, full, full},
        {"fan 2's bit 1 off", {0x31, 0xF0, {0, 0}, {}, {}}, 0, full},
        {"register 0x14 bits 4-7 off", {0x33, 0x70, {0, 0}, {}, {}}, full, full},
        {"unarmed codes are duties", {0x33, 0xF0, {0x80, 0x81}, {}, {50, 50, 50}}, duty(0x80), duty(0x81)},
        {"automatic, cool inputs", {0x33, 0xF0, {0x80, 0x81}, {armed, armed}, {20, 45, 80}}, idle, idle},
        {"automatic, hot inputs", {0x33, 0xF0, {0x82, 0x80}, {armed, armed}, {61, 20, 60}}, full, full},
        {"automatic, between", {0x33, 0xF0, {0x81, 0x82}, {armed, armed}, {0, 50, 50}}, third, third},
        {"armed per fan", {0x33, 0xF0, {0x80, 0x80}, {armed, unarmed}, {50, 0, 0}}, third, duty(0x80)},
        {"duty and code", {0x33, 0xF0, {0x84, 0x7F}, {armed, armed}, {50, 0, 0}}, duty(0x84), duty(0x7F)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(plant.TargetRpm(0, c.c), c.fan1, 1e-6);
        EXPECT_NEAR(plant.TargetRpm(1, c.c), c.fan2, 1e-6);
    }

    // Over time, one code in the register: the fan settles where its temperature input puts it.
    quavsim::Plant cool(o, 0, {1000, 1000}), hot(o, 0, {1000, 1000});
    cool.Advance(sim::Seconds(60), Controller{0x33, 0xF0, {0x80, 0x80}, {armed, armed}, {20, 0, 0}});
    hot.Advance(sim::Seconds(60), Controller{0x33, 0xF0, {0x80, 0x80}, {armed, armed}, {60, 0, 0}});
    EXPECT_NEAR(cool.rpm(0), idle, 1.0);
    EXPECT_NEAR(hot.rpm(0), full, 1.0);
}

// Runs a scenario text on a fresh machine, the way quavsim run does.
struct Played {
    quavsim::Scenario scenario;
    std::unique_ptr<quavsim::Simulation> simulation;
    std::unique_ptr<quavsim::ScenarioRun> run;
    NTSTATUS start = STATUS_SUCCESS;

    explicit Played(const std::string& text, std::string config = DefaultConfig(),
                    const std::string& origin = "t.json")
        : scenario(ParseScenario(text, origin))
    {
        quavsim::SimulationOptions options;
        options.config_reg = std::move(config);
        options.machine.seed = scenario.seed;
        options.board = scenario.board;
        options.power_on = scenario.power_on;
        simulation = std::make_unique<quavsim::Simulation>(options);
        run = std::make_unique<quavsim::ScenarioRun>(*simulation, scenario);
        start = simulation->Boot();
        EXPECT_EQ(static_cast<uint32_t>(start), scenario.start);
        run->Run();
        simulation->Shutdown();
        EXPECT_EQ(simulation->machine().verifier().Count(), 0u); // every run here is one a driver may see
    }
    std::vector<sim::EventRecord> Events() { return simulation->machine().eventlog().Records(); }
};

TEST(ScenarioRun, SensorsFaultsAndActionsHappenOnTime)
{
    Played p(R"({"duration": 120, "sample": 5,
        "sensors": {"12V": [{"at": 0, "value": 12032}, {"at": 32, "value": 10500}]},
        "registers": [{"at": 50, "chip": "superio", "register": "0x2a", "value": "0x50"}],
        "faults": [{"at": 60, "fault": "sensor-absent", "for": 20}],
        "actions": [
          {"at": 40, "action": "read-sensor", "sensor": "12V", "expect": "STATUS_SUCCESS"},
          {"at": 41, "action": "set-pwm", "sensor": "Rear Bottom", "value": 200},
          {"at": 42, "action": "read-control", "class": 77, "index": 1, "expect": 0},
          {"at": 90, "action": "wmi-set-critical-upper", "sensor": 3, "value": 99},
          {"at": 91, "action": "wmi-query"},
          {"at": 100, "action": "pnp", "request": "surprise-removal"},
          {"at": 101, "action": "read-sensor", "sensor": "CPU"}]})");
    // The sag is seen at the first poll after it (35 s), as a critical low.
    std::vector<sim::EventRecord> events = p.Events();
    auto low = std::find_if(events.begin(), events.end(), [](const auto& e) {
        return e.id == static_cast<uint32_t>(QUAV_MSG_VOLTAGE_ERROR_LOW);
    });
    ASSERT_NE(low, events.end());
    EXPECT_EQ(low->time / sim::kTicksPerSecond, 35);

    const auto& r = p.run->results();
    ASSERT_EQ(r.size(), 7u);
    EXPECT_EQ(r[0].time, sim::Seconds(40));
    EXPECT_NE(r[0].detail.find("12V 10496 mV"), std::string::npos) << r[0].detail;
    EXPECT_EQ(p.simulation->board().superio()->Register(0x16), 200);
    EXPECT_NE(r[2].status, STATUS_SUCCESS);
    EXPECT_TRUE(r[2].unexpected);
    EXPECT_EQ(p.run->Unexpected(), 1u);
    EXPECT_EQ(r[3].status, STATUS_SUCCESS);
    EXPECT_NE(r[4].detail.find("12 entries"), std::string::npos);
    EXPECT_EQ(r[5].status, STATUS_SUCCESS);
    EXPECT_NE(r[6].status, STATUS_SUCCESS); // the device is gone

    const auto& trace = p.simulation->trace();
    auto row_after = [&trace](int seconds) {
        return *std::find_if(trace.begin(), trace.end(),
                             [&](const quavsim::TraceRow& r) { return r.time > sim::Seconds(seconds); });
    };
    // The raw register write put 0x50 = 80 degrees on the second temperature input, the VRM's.
    EXPECT_EQ(row_after(55).readings[5], 80);
    // The set-pwm changed the chip's duty, not what the driver publishes from its table.
    EXPECT_EQ(row_after(41).chip_pwm[1], 200u);
    EXPECT_NE(row_after(41).pwm[1], 200u);
    ASSERT_TRUE(row_after(41).pwm[1].has_value());
    // Once the device is gone its readings are; the chip keeps its duty.
    const quavsim::TraceRow gone = row_after(100);
    EXPECT_EQ(gone.device, sim::PnpState::SurpriseRemoved);
    EXPECT_FALSE(gone.readings[2].has_value());
    EXPECT_FALSE(gone.stage[0].has_value());
    EXPECT_EQ(gone.chip_pwm[1], 200u);
    EXPECT_EQ(trace.back().time, sim::Seconds(115));

    ASSERT_EQ(p.run->faults().size(), 2u);
    EXPECT_EQ(p.run->faults()[0].text, "sensor-absent for 20 s");
    EXPECT_EQ(p.run->faults()[1].time, sim::Seconds(80));
    EXPECT_NE(p.run->Summary().find("/actions/2 read-control: 1 x STATUS_"), std::string::npos);
}

// The SMBus faults of a scenario, each for two transactions: the driver gets past every one of them, and
// the sensor misses exactly the transactions the fault took (a collision at the start is retried).
TEST(ScenarioRun, TheDriverGetsPastEachSmbusFault)
{
    const struct {
        const char* fault;
        uint64_t lost;
    } cases[] = {{"none", 0}, {"smbus-collision", 0}, {"smbus-arbitration", 2}, {"smbus-hang", 2}};
    int64_t start_reads = -1; // the sensor's transactions besides one CPU read a poll, from the first row
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string faults =
            std::string(c.fault) == "none"
                ? ""
                : std::string(R"(, "faults": [{"at": 10, "fault": ")") + c.fault + R"(", "count": 2}])";
        Played p(R"({"duration": 60)" + faults + "}");
        const auto reads = static_cast<int64_t>(p.simulation->board().southbridge()->Transactions());
        const auto polls = static_cast<int64_t>(p.simulation->Polls());
        if (start_reads < 0) {
            start_reads = reads - polls;
        }
        EXPECT_GT(polls, 5);
        EXPECT_EQ(reads, start_reads + polls - static_cast<int64_t>(c.lost));
        if (!faults.empty()) {
            ASSERT_EQ(p.run->faults().size(), 1u);
            EXPECT_EQ(p.run->faults()[0].text, std::string(c.fault) + " 2 transactions");
        }
    }
}

// Actions as the PnP manager and the I/O manager carry them out: every action's status in time order
// (where given; the expects otherwise), and what each pnp action says it sent or why nothing was.
// Opening the device as an ordinary user or an administrator, by its name or a name under it, and the
// requests a named handle carries until it is closed. The Plug and Play rows are reproductions: two
// requests at one instant once ran at once, and the second read the device extension the first had freed
// (a heap-use-after-free under ASan). Every run must end without a verifier report and with every status
// the scenario expects.
TEST(ScenarioRun, OpensHandlesAndPnpActionsGoInTheOrderWindowsKeeps)
{
    const struct {
        const char* what;
        const char* actions;
        std::vector<const char*> statuses; // every action's, in time order; none: the expects alone
        std::vector<std::string> details;  // each pnp action's, in the scenario's order
    } cases[] = {
        {"an ordinary user is refused, an administrator let in, under the device's name or a name in it",
         R"({"at": 1, "action": "open", "as": "user"},
            {"at": 2, "action": "open", "as": "administrator"},
            {"at": 3, "action": "open", "as": "administrator", "path": "\\\\.\\QUAVDSL\\x"},
            {"at": 4, "action": "open", "as": "user", "path": "\\\\.\\QUAVDSL\\x"},
            {"at": 5, "action": "open", "as": "administrator", "path": "\\\\.\\NOPE"})",
         {"STATUS_ACCESS_DENIED", "STATUS_SUCCESS", "STATUS_SUCCESS", "STATUS_ACCESS_DENIED",
          "STATUS_OBJECT_NAME_NOT_FOUND"},
         {}},
        {"a named handle carries requests until it is closed; a refused open leaves no handle",
         R"({"at": 1, "action": "open", "as": "administrator", "handle": "a"},
            {"at": 2, "action": "read-sensor", "sensor": "CPU", "handle": "a"},
            {"at": 3, "action": "open", "as": "user", "handle": "u"},
            {"at": 4, "action": "read-sensor", "sensor": "CPU", "handle": "u"},
            {"at": 5, "action": "close", "handle": "a"},
            {"at": 6, "action": "set-pwm", "sensor": "Rear Upper", "value": 90, "handle": "a"},
            {"at": 7, "action": "close", "handle": "a"})",
         {"STATUS_SUCCESS", "STATUS_SUCCESS", "STATUS_ACCESS_DENIED", "STATUS_INVALID_HANDLE",
          "STATUS_SUCCESS", "STATUS_INVALID_HANDLE", "STATUS_INVALID_HANDLE"},
         {}},
        {"a handle held open vetoes a removal; one left open at the end is closed for the run",
         R"({"at": 1, "action": "open", "as": "administrator", "handle": "a"},
            {"at": 2, "action": "pnp", "request": "remove"},
            {"at": 3, "action": "device-control", "code": "0x88002200", "handle": "a"})",
         {"STATUS_SUCCESS", "STATUS_UNSUCCESSFUL", "STATUS_SUCCESS"},
         {"sent query-remove: vetoed with 0xC0000001; then cancel-remove"}},
        {"two removals at one instant",
         R"({"at": 10, "action": "pnp", "request": "remove", "expect": "STATUS_SUCCESS"},
            {"at": 10, "action": "pnp", "request": "remove", "expect": "STATUS_INVALID_DEVICE_STATE"})",
         {},
         {"sent query-remove; sent remove", "remove not sent: the device is removed"}},
        {"a surprise removal and a removal at one instant, under requests",
         R"({"at": 10, "action": "pnp", "request": "surprise-removal", "expect": "STATUS_SUCCESS"},
            {"at": 10, "action": "pnp", "request": "remove", "expect": "STATUS_SUCCESS"},
            {"at": 10, "action": "read-sensor", "sensor": "CPU", "repeat": 20, "every": 0.01},
            {"at": 10, "action": "wmi-query", "repeat": 20, "every": 0.01})",
         {},
         {"sent surprise-removal", "sent remove"}},
        {"a stop, a restart the driver refuses, and the removal Windows then sends",
         R"({"at": 10, "action": "pnp", "request": "stop", "expect": "STATUS_SUCCESS"},
            {"at": 11, "action": "pnp", "request": "start", "expect": "STATUS_DELETE_PENDING"},
            {"at": 12, "action": "read-sensor", "sensor": "CPU", "expect": "STATUS_DEVICE_NOT_CONNECTED"},
            {"at": 13, "action": "pnp", "request": "stop", "expect": "STATUS_INVALID_DEVICE_STATE"},
            {"at": 14, "action": "pnp", "request": "remove", "expect": "STATUS_SUCCESS"},
            {"at": 15, "action": "pnp", "request": "start", "expect": "STATUS_INVALID_DEVICE_STATE"})",
         {},
         {"sent query-stop; sent stop", "sent start: failed with 0xC0000056",
          "stop not sent: the device is start-failed", "sent remove",
          "start not sent: the device is removed"}},
        {"a second query-stop while one is pending, and the removal that cancels the pending stop",
         R"({"at": 10, "action": "pnp", "request": "query-stop", "expect": "STATUS_SUCCESS"},
            {"at": 11, "action": "pnp", "request": "query-stop", "expect": "STATUS_INVALID_DEVICE_STATE"},
            {"at": 12, "action": "pnp", "request": "remove", "expect": "STATUS_SUCCESS"})",
         {},
         {"sent query-stop", "query-stop not sent: the device is stop-pending",
          "sent cancel-stop; sent query-remove; sent remove"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Played p(std::string(R"({"duration": 30, "actions": [)") + c.actions + "]}");
        EXPECT_EQ(p.run->Unexpected(), 0u) << p.run->Summary();
        std::vector<std::string> statuses, details;
        for (const quavsim::ActionResult& r : p.run->results()) {
            statuses.push_back(quavtools::StatusName(static_cast<uint32_t>(r.status)));
            if (r.action == "pnp") {
                details.push_back(r.detail);
            }
        }
        if (!c.statuses.empty()) {
            EXPECT_EQ(statuses, std::vector<std::string>(c.statuses.begin(), c.statuses.end()))
                << p.run->Summary();
        }
        EXPECT_EQ(details, c.details);
        for (const std::string& detail : c.details) {
            EXPECT_NE(p.run->Summary().find(detail), std::string::npos) << p.run->Summary();
        }
    }
}

// What an action's own fields were read into: those not left at their defaults.
std::string Fields(const quavsim::Action& a)
{
    std::ostringstream out;
    auto put = [&out](const char* name, int64_t value, int64_t unset = 0) {
        if (value != unset) {
            out << name << " " << value << " ";
        }
    };
    put("sensor", a.sensor, -1), put("class", a.control_class), put("index", a.control_index);
    put("value", static_cast<int32_t>(a.value)), put("code", a.code), put("wmi", a.wmi_sensor);
    put("input", static_cast<int64_t>(a.input.size())), put("output", a.output_size), put("pnp", a.pnp_minor);
    if (!a.handle.empty()) {
        out << "handle " << a.handle << " ";
    }
    if (a.name == "open") {
        out << (a.administrator ? "administrator " : "user ") << std::string(a.path.begin(), a.path.end());
    }
    return out.str();
}

struct ActionCase {
    std::string object; // the action but its time
    std::vector<const char*> required;
    std::string fields;
    std::string detail; // all of it, or its start when it ends in a space or is empty
};

ActionCase Act(const char* object, std::vector<const char*> required, const char* fields, const char* detail)
{
    return {object, std::move(required), fields, detail};
}

// Every kind of action in the table with each field it documents: what the fields are read into, that a
// required one missing or a field of no action is refused, and what performing it on the machine gives.
TEST(ScenarioActions, EveryKindReadsItsFieldsAndIsPerformed)
{
    const ActionCase cases[] = {
        Act(R"("action": "read-sensor", "sensor": "CPU")", {"sensor"}, "sensor 2 ", "CPU 45 degrees C"),
        Act(R"("action": "set-pwm", "sensor": "Rear Bottom", "value": 200)", {"sensor", "value"},
            "sensor 1 value 200 ", "Rear Bottom PWM 200"),
        Act(R"("action": "set-control", "class": 9, "index": 18, "code": "0x9001")",
            {"class", "index", "code"}, "class 9 index 18 value 36865 ", "class 9 index 18 value "),
        Act(R"("action": "read-control", "class": 9, "index": 18)", {"class", "index"}, "class 9 index 18 ",
            "class 9 index 18 value 0x9001"),
        Act(R"("action": "device-control", "code": "0x88002200", "input": "00ff", "output_size": 16)",
            {"code"}, "code 2281710080 input 2 output 16 ", "code 0x88002200, 0 bytes back"),
        Act(R"("action": "wmi-query")", {}, "", "12 entries, CPU 45 degrees C (critical "),
        Act(R"("action": "wmi-set-critical-upper", "sensor": 3, "value": 99)", {"sensor", "value"},
            "value 99 code 1 wmi 3 ", "sensor 3 to 99"),
        Act(R"("action": "wmi-set-critical-lower", "sensor": 3, "value": -5)", {"sensor", "value"},
            "value -5 code 2 wmi 3 ", "sensor 3 to -5"),
        Act(R"("action": "open", "as": "administrator", "path": "\\\\.\\QUAVDSL", "handle": "h")", {"as"},
            "handle h administrator \\\\.\\QUAVDSL", "administrator opened \\\\.\\QUAVDSL as h"),
        Act(R"("action": "read-sensor", "sensor": "VRM", "handle": "h")", {"sensor"}, "sensor 5 handle h ",
            "VRM 44 degrees C"),
        Act(R"("action": "close", "handle": "h")", {"handle"}, "handle h ", "closed h"),
        Act(R"("action": "pnp", "request": "query-stop")", {"request"}, "pnp 5 ", ""),
    };
    std::set<std::string> kinds;
    for (const quavsim::ActionKind& kind : quavsim::ActionKinds()) {
        kinds.insert(kind.name);
    }
    std::string all;
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto& c = cases[i];
        const std::string at = "{\"at\": " + std::to_string(10 + i) + ", ";
        // An open of the handle a row names comes after it, so that every row reads alone.
        const quavsim::Scenario s =
            ParseScenario(R"({"duration": 60, "actions": [)" + at + c.object +
                              R"(}, {"at": 1, "action": "open", "as": "user", "handle": "h"}]})",
                          "s.json");
        ASSERT_EQ(s.actions.size(), 2u);
        const quavsim::Action& action = s.actions[0];
        ASSERT_NE(action.kind, nullptr) << c.object;
        EXPECT_TRUE(kinds.erase(action.kind->name) == 1 || !action.handle.empty())
            << c.object; // each kind once
        EXPECT_EQ(Fields(action), c.fields) << c.object;
        nlohmann::json object = nlohmann::json::parse(std::string("{") + c.object + "}");
        for (const char* field : c.required) {
            nlohmann::json without = object;
            without.erase(field);
            EXPECT_EQ(
                ParseError(R"({"duration": 60, "actions": [{"at": 1, )" + without.dump().substr(1) + "]}"),
                "s.json: /actions/0: missing field \"" + std::string(field) + "\"");
        }
        object["bogus"] = 1;
        EXPECT_EQ(ParseError(R"({"duration": 60, "actions": [{"at": 1, )" + object.dump().substr(1) + "]}")
                      .rfind("s.json: /actions/0/bogus: unknown field for " + action.name +
                                 " (expected one of: at, action, repeat, every, expect",
                             0),
                  0u);
        all += (all.empty() ? "" : ", ") + at + c.object + ", \"expect\": \"STATUS_SUCCESS\"}";
    }
    EXPECT_TRUE(kinds.empty()) << "a kind without a case: " << *kinds.begin();

    Played p(R"({"duration": 60, "actions": [)" + all + "]}");
    const auto& results = p.run->results();
    ASSERT_EQ(results.size(), std::size(cases));
    for (size_t i = 0; i < results.size(); i++) {
        EXPECT_EQ(results[i].status, STATUS_SUCCESS) << cases[i].object;
        const std::string& want = cases[i].detail;
        EXPECT_EQ(want.empty() || want.back() == ' ' ? results[i].detail.substr(0, want.size())
                                                     : results[i].detail,
                  want)
            << cases[i].object << "\n  gave: " << results[i].detail;
    }
}

// What a board section is read into: the chips' options and their power-on state.
std::string BoardFields(const board::BoardOptions& b, const board::BoardPowerOn& p)
{
    std::ostringstream out;
    out << std::hex;
    if (b.superio) {
        out << "superio at " << b.superio->config_port;
    } else {
        out << "no superio";
    }
    const board::SuperIoPowerOn& sio = p.superio;
    if (sio.identity) {
        out << " id " << int{(*sio.identity)[0]} << "," << int{(*sio.identity)[1]};
    }
    for (const board::RegisterValue& r : sio.registers) {
        out << " [" << int{r.reg} << "]=" << int{r.value};
    }
    out << std::dec << " busy " << sio.busy_reads << std::hex;
    out << "; bridge " << b.southbridge->vendor << ":" << b.southbridge->device;
    const board::SouthBridgePowerOn& sb = p.southbridge;
    out << (sb.sensor_present ? " sensor" : " no sensor");
    for (const board::RegisterValue& r : sb.sensor_registers) {
        out << " [" << int{r.reg} << "]=" << int{r.value};
    }
    out << std::dec << " hung " << sb.hung << " colliding " << sb.colliding;
    return out.str();
}

TEST(ScenarioBoard, TheBoardSectionIsReadIntoThePowerOnState)
{
    const struct {
        const char* board;
        const char* fields;
    } cases[] = {
        {"{}", "superio at 2e busy 0; bridge 1039:966 sensor hung 0 colliding 0"},
        {R"({"superio": "absent"})", "no superio busy 0; bridge 1039:966 sensor hung 0 colliding 0"},
        {R"({"superio": {"port": "0x4E", "identity": [144, "0x13"], "registers": {"0x0c": 0, "11": "0x3f"},
             "busy": "always"}})",
         "superio at 4e id 90,13 [c]=0 [b]=3f busy -1; bridge 1039:966 sensor hung 0 colliding 0"},
        {R"({"superio": {"busy": 40}, "southbridge": {"vendor": "0x8086", "device": "0x24d3", "sensor": false,
             "sensor_registers": {"0xfe": "0x41"}, "hung": 2, "colliding": "always"}})",
         "superio at 2e busy 40; bridge 8086:24d3 no sensor [fe]=41 hung 2 colliding -1"},
    };
    for (const auto& c : cases) {
        const quavsim::Scenario s =
            ParseScenario(std::string(R"({"duration": 60, "board": )") + c.board + "}", "s.json");
        EXPECT_EQ(BoardFields(s.board, s.power_on), c.fields) << c.board;
    }
}

// Each example board: the state it describes is the one the driver met at its start.
TEST(ScenarioBoard, TheBoardExamplesTakeEffect)
{
    const struct {
        const char* name;
        std::function<void(Played&)> check;
    } cases[] = {
        {"fan-counters-off",
         [](Played& p) {
             // The driver turns the counters on and reads the full 16-bit counts.
             EXPECT_EQ(p.simulation->board().superio()->Register(0x0C) & 0x03, 0x03);
             ASSERT_FALSE(p.simulation->trace().empty());
             EXPECT_EQ(p.simulation->trace().back().readings[0], 2402);
             EXPECT_EQ(p.run->results().at(0).result["record"]["current_value"], 2402);
         }},
        {"no-smbus-sensor",
         [](Played& p) {
             EXPECT_EQ(p.start, STATUS_UNSUCCESSFUL);
             EXPECT_EQ(p.simulation->Polls(), 0u);
             ASSERT_EQ(p.run->results().size(), 2u);
             EXPECT_EQ(p.run->results()[1].status, STATUS_DEVICE_NOT_CONNECTED);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string(QUAV_SCENARIOS "/") + c.name + ".json";
        Played p(ReadText(path), DefaultConfig(), path);
        EXPECT_EQ(p.run->Unexpected(), 0u) << p.run->Summary();
        c.check(p);
    }
}

// actions.jsonl carries what came back in full: a record's every field, every WMI entry, the output bytes.
TEST(ScenarioActions, ResultsCarryWhatCameBackInFull)
{
    // A raw read of the CPU's record: type 7, id 9 at offsets 8 and 12 of 64 bytes.
    const std::string record = std::string(16, '0') + "07000000" + "09000000" + std::string(96, '0');
    Played p(R"({"duration": 30, "actions": [
        {"at": 10, "action": "read-sensor", "sensor": "CPU"},
        {"at": 11, "action": "set-control", "class": 9, "index": 18, "code": "0x9001"},
        {"at": 12, "action": "wmi-query"},
        {"at": 13, "action": "device-control", "code": "0x88002208", "input": ")" +
             record + R"(", "output_size": 80},
        {"at": 14, "action": "pnp", "request": "query-stop"}]})");
    std::vector<nlohmann::json> lines;
    std::istringstream text(p.run->ResultsJsonLines());
    for (std::string line; std::getline(text, line);) {
        lines.push_back(nlohmann::json::parse(line)); // one JSON object a line, each naming its status
        EXPECT_TRUE(lines.back().contains("status_name")) << line;
    }
    ASSERT_EQ(lines.size(), 5u);
    const struct {
        const char* pointer; // in the line's result
        nlohmann::json value;
    } cases[] = {
        {"/0/result/record/current_value", 45},
        {"/0/result/record/sensor_type", SENSOR_TYPE_TEMPERATURE},
        {"/0/result/record/sensor_id", SENSOR_ID_CPU},
        {"/0/result/record/critical_upper", nullptr}, // the driver fills the reading only
        {"/0/result/returned", 64},
        {"/1/result/record/control_class", 9},
        {"/2/result/entries/2/reading", 45},
        {"/2/result/entries/2/sensor", 3},
        {"/2/result/entries/2/critical_upper", 85},
        {"/2/result/entries/11/sensor", 12},
        {"/3/result/returned", 64},
        {"/4/result", nullptr},
    };
    const nlohmann::json all = lines;
    for (const auto& c : cases) {
        const nlohmann::json::json_pointer pointer(c.pointer);
        ASSERT_TRUE(all.contains(pointer) || c.value.is_null()) << c.pointer << "\n" << all.dump();
        EXPECT_EQ(all.contains(pointer) ? all[pointer] : nullptr, c.value) << c.pointer;
    }
    EXPECT_EQ(lines[2]["result"]["entries"].size(), 12u);
    const std::string output = lines[3]["result"]["output"].get<std::string>();
    EXPECT_EQ(output.size(), 128u); // the bytes that came back, not the whole buffer
    EXPECT_EQ(output.substr(16, 16), "0700000009000000");
    EXPECT_EQ(output.substr(40, 8), "2d000000"); // CurrentValue: 45 degrees
    EXPECT_EQ(lines[0]["detail"], "CPU 45 degrees C");
}

// The stage changes are the driver's own, from its writes of the published stage: sampled at every poll
// the rows show each of them; sampled once a minute they miss the flapping, and the count does not.
TEST(ScenarioRun, TheHeatwaveClimbsTheStagesAndTheCushionKeepsThemFromFlapping)
{
    const std::string path = QUAV_SCENARIOS "/heatwave.json";
    const std::string heatwave = ReadText(path);
    auto rows_changes = [](const quavsim::Simulation& s, uint32_t* top) {
        int n = 0;
        for (size_t i = 1; i < s.trace().size(); i++) {
            n += s.trace()[i].stage[0] != s.trace()[i - 1].stage[0];
            n += s.trace()[i].stage[1] != s.trace()[i - 1].stage[1];
            *top = std::max(*top, s.trace()[i].stage[0].value_or(0));
        }
        return n;
    };
    uint32_t top = 0;
    int with_cushion = 0;
    {
        std::string every_poll = heatwave;
        every_poll.replace(every_poll.find("\"sample\": 60"), std::string("\"sample\": 60").size(),
                           "\"sample\": 5");
        Played cushioned(every_poll, DefaultConfig(), path);
        with_cushion = cushioned.simulation->StageChanges();
        EXPECT_EQ(rows_changes(*cushioned.simulation, &top), with_cushion);
        EXPECT_EQ(top, 9u);
        EXPECT_GT(with_cushion, 0);
        EXPECT_LE(with_cushion, 80);
        EXPECT_EQ(cushioned.simulation->Polls(), 17279u);
    }

    std::string config = DefaultConfig();
    const std::string cushion = "\"FANCNTL_RU_TEMP_CUSHION\"=dword:00000003";
    config.replace(config.find(cushion), cushion.size(), "\"FANCNTL_RU_TEMP_CUSHION\"=dword:00000000");
    Played bare(heatwave, config, path);
    EXPECT_GT(bare.simulation->StageChanges(), 3 * with_cushion);
    EXPECT_LT(rows_changes(*bare.simulation, &top), bare.simulation->StageChanges());
}

} // namespace
