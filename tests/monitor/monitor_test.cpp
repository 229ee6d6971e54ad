// The monitor thread and its threshold evaluation, on a started device in virtual time.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>
#include <utility>
#include <vector>

#include "monitor_fixture.h"

namespace {

class MonitorThreadTest : public MonitorTest {
protected:
    // Starts the device polling every `interval` seconds, with every limit out of reach.
    void StartPolling(uint32_t interval)
    {
        Param("", "POLLING_INTERVAL", interval);
        Param("", "CURRENT_STAGE", 1);
        Param("", "WARNING_EVENTLOG", 1);
        Param("", "CRITICAL_EVENTLOG", 1);
        WideLimits();
        for (int n = 0; n < 9; n++) { // fan stages never change: no PWM writes in a poll
            Param("FanControl", "FANCNTL_RU_TEMP_CHECK_POINT_" + std::to_string(n), 200);
            Param("FanControl", "FANCNTL_RB_TEMP_CHECK_POINT_" + std::to_string(n), 200);
        }
        ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
        machine_.eventlog().Clear();
    }

    void Limits(const std::string& key, const std::string& prefix, LONG warn_upper, LONG warn_lower,
                LONG crit_upper, LONG crit_lower)
    {
        Param(key, prefix + "_WARN_THD_UPPER", static_cast<uint32_t>(warn_upper));
        Param(key, prefix + "_WARN_THD_LOWER", static_cast<uint32_t>(warn_lower));
        Param(key, prefix + "_CRIT_THD_UPPER", static_cast<uint32_t>(crit_upper));
        Param(key, prefix + "_CRIT_THD_LOWER", static_cast<uint32_t>(crit_lower));
    }

    const SENSOR_RECORD& System() { return *ext_.Sensors[3]; }

    // One evaluation pass with the System temperature at `celsius`; the events it wrote.
    std::vector<std::string> EvaluateAt(int celsius)
    {
        board_.SetSensor("System", celsius);
        machine_.eventlog().Clear();
        EvaluateSensors(&ext_);
        return EventSummaries();
    }
};

TEST_F(MonitorThreadTest, FirstPollComesOneIntervalAfterTheStartAndReadingsArePublished)
{
    board_.SetSensor("CPU", -5);
    board_.SetSensor("Rear Upper", 1800);
    StartPolling(10);
    const sim::Ticks started = sim::Now();
    sim::Sleep(sim::Seconds(10) - sim::Ms(1));
    EXPECT_FALSE(Current("FAN", "FAN_REAR_UPPER").has_value());
    sim::Sleep(sim::Ms(2));
    EXPECT_NEAR(static_cast<double>(*Current("FAN", "FAN_REAR_UPPER")), 1800.0, 5.0);
    EXPECT_EQ(Current("THERMAL", "CPU"), 0xFFFFFFFBu); // -5, as its two's-complement bits
    EXPECT_EQ(Current("THERMAL", "BackPlane"), 31u);
    EXPECT_EQ(Current("VOLTAGE", "18V"), 1808u);
    EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_STAGE"), 0u);
    EXPECT_LT(sim::Now() - started, sim::Seconds(11));
    EXPECT_TRUE(Events().empty());
}

TEST_F(MonitorThreadTest, OnePollMakesExactlyFiftyPortAccesses)
{
    StartPolling(1);
    sim::Sleep(sim::Ms(500));
    const uint64_t before = machine_.bus().Accesses();
    sim::Sleep(sim::Seconds(1));
    // Fans: low and high count bytes (16-bit counters), 3 accesses a byte: 12. CPU: one SMBus byte-data
    // read: 11. System, Backplane, VRM and the six rails, one register each: 27. Fan stages stay.
    EXPECT_EQ(machine_.bus().Accesses() - before, 12u + 11u + 27u);
}

// The interval is waited after each poll ends, so polls are an interval plus a poll's duration apart and
// drift off the whole seconds; a fixed-rate timer would keep them exactly an interval apart.
TEST_F(MonitorThreadTest, EachPollWaitsTheIntervalAfterThePreviousOneEnded)
{
    StartPolling(1);
    machine_.bus().StartTrace();
    sim::Sleep(sim::Seconds(5) + sim::Ms(500));
    machine_.bus().StopTrace();
    struct Poll {
        sim::Ticks first, last;
    };
    std::vector<Poll> polls;
    for (const sim::PortAccess& a : machine_.bus().TakeTrace()) {
        if (polls.empty() || a.time - polls.back().last > sim::Ms(500)) {
            polls.push_back({a.time, a.time});
        }
        polls.back().last = a.time;
    }
    ASSERT_EQ(polls.size(), 5u);
    for (size_t i = 1; i < polls.size(); i++) {
        SCOPED_TRACE(i);
        const sim::Ticks ended = polls[i - 1].last + machine_.bus().AccessTime();
        EXPECT_GT(ended - polls[i - 1].first, sim::Us(50)); // fifty accesses and an SMBus settle
        EXPECT_EQ(polls[i].first - ended, sim::Seconds(1));
    }
    EXPECT_GT(polls[4].first - polls[0].first, 4 * sim::Seconds(1) + 4 * sim::Us(50));
}

TEST_F(MonitorThreadTest, ZeroIntervalPollsBackToBackUntilStopped)
{
    StartPolling(0);
    uint64_t polls = 0;
    while (polls < 20) {
        sim::Sleep(sim::Us(10)); // the monitor runs whenever the test waits
        polls = machine_.registry().Writes() / (12 + 6);
    }
    // No interval is waited: the clock has moved only by the SMBus reads' 30 us settle sleeps.
    EXPECT_LT(sim::Now(), sim::Ms(2));
    StopMonitorThread();
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
}

TEST_F(MonitorThreadTest, StopDuringAPollEndsItBeforeTheNextRecord)
{
    StartPolling(1);
    // Hold the monitor in its fifth record (Backplane, controller register 0x2B) of the first poll.
    machine_.bus().StallWrite(0x295, 0x2B, sim::Seconds(10));
    sim::Sleep(sim::Seconds(5));
    const std::string accesses = Accesses([&] { StopMonitorThread(); });
    // The held read completes; no register of the voltages (0x20-0x27) or VRM (0x2A) is read.
    EXPECT_EQ(accesses, "W295:2B R296 ");
    EXPECT_FALSE(Current("THERMAL", "VRM").has_value());
    EXPECT_TRUE(Current("THERMAL", "BackPlane").has_value());
    EXPECT_FALSE(Current("FAN", "FANCNTL_RU_CURRENT_STAGE").has_value()); // fan control did nothing
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
    EXPECT_EQ(machine_.objects().OpenHandles(), 0u);
}

class BandTest : public MonitorThreadTest {
protected:
    void SetUp() override
    {
        MonitorThreadTest::SetUp();
        Param("", "WARNING_EVENTLOG", 1);
        Param("", "CRITICAL_EVENTLOG", 1);
        Param("", "POLLING_INTERVAL", 100000); // the thread stays asleep; the test evaluates
        WideLimits();
        Limits("THERMAL", "THERMAL_SYSTEM", 50, 10, 60, 0);
        board_.SetSensor("System", 30);
        ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    }
};

TEST_F(BandTest, LimitsAreInBandAndEachExcursionWritesOneEntryAndOneCount)
{
    EXPECT_EQ(EvaluateAt(50), std::vector<std::string>{});
    EXPECT_EQ(EvaluateAt(51), std::vector<std::string>{"0x802A0016 System 51"});
    EXPECT_EQ(System().WarningUpperCount, 1u);
    EXPECT_EQ(System().WarningLowerCount, 0u); // the direction left, not both
    EXPECT_EQ(EvaluateAt(55), std::vector<std::string>{});
    EXPECT_EQ(EvaluateAt(50), std::vector<std::string>{"0x402A000F System 50"});
    EXPECT_EQ(EvaluateAt(10), std::vector<std::string>{});
    EXPECT_EQ(EvaluateAt(9), std::vector<std::string>{"0x802A0016 System 9"});
    EXPECT_EQ(EvaluateAt(10), std::vector<std::string>{"0x402A000F System 10"});
    EXPECT_EQ(System().WarningUpperCount, 1u);
    EXPECT_EQ(System().WarningLowerCount, 1u);
    EXPECT_EQ(System().WarningActive, 0);
    const sim::EventRecord last = Events().back();
    EXPECT_EQ(last.message, "System temperature becomes normal, value = 10 degrees C.\r\n");
    EXPECT_EQ(last.dump.size(), 20u);
}

TEST_F(BandTest, WarningBeforeCriticalAndLeavingCriticalWhileStillWarning)
{
    EXPECT_EQ(EvaluateAt(70), (std::vector<std::string>{"0x802A0016 System 70", "0xC02A0010 System 70"}));
    EXPECT_EQ(System().WarningUpperCount, 1u);
    EXPECT_EQ(System().CriticalUpperCount, 1u);
    EXPECT_EQ(EvaluateAt(55), std::vector<std::string>{"0x402A000F System 55"});
    EXPECT_EQ(System().WarningActive, 1);
    EXPECT_EQ(System().CriticalActive, 0);
    EXPECT_EQ(EvaluateAt(70), std::vector<std::string>{"0xC02A0010 System 70"});
    EXPECT_EQ(EvaluateAt(20), (std::vector<std::string>{"0x402A000F System 20", "0x402A000F System 20"}));
    EXPECT_EQ(System().CriticalUpperCount, 2u);
    EXPECT_EQ(System().WarningUpperCount, 1u);
}

TEST_F(BandTest, SwitchedOffBandsNeverMove)
{
    ext_.WarningEventLog = 0;
    EXPECT_EQ(EvaluateAt(55), std::vector<std::string>{});
    EXPECT_EQ(System().WarningActive, 0);
    EXPECT_EQ(System().WarningUpperCount, 0u);
    ext_.CriticalEventLog = 0;
    EXPECT_EQ(EvaluateAt(99), std::vector<std::string>{});
    EXPECT_EQ(System().CriticalActive, 0);
}

TEST_F(BandTest, VoltageEventsNameTheDirectionByTheNominalVoltage)
{
    ext_.Thresholds[10] = {12500, 11500, 13000, 11000}; // 12V
    board_.SetSensor("12V", 12800);
    EvaluateSensors(&ext_);
    board_.SetSensor("12V", 10880);
    machine_.eventlog().Clear();
    EvaluateSensors(&ext_);
    // Out of the warning band above, then, without coming back, below both bands: only the critical
    // band moves, and its message follows the nominal 12000 mV, not the limit crossed.
    EXPECT_EQ(EventSummaries(), std::vector<std::string>{"0xC02A0014 12V 10880"});
}

class UnconfiguredBandTest : public MonitorThreadTest {};

TEST_F(UnconfiguredBandTest, AllLimitsZeroPutsEveryNonZeroReadingOutOfBand)
{
    Param("", "WARNING_EVENTLOG", 1);
    Param("", "POLLING_INTERVAL", 100000);
    board_.SetSensor("Backplane", 0);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    machine_.eventlog().Clear();
    EvaluateSensors(&ext_);
    const std::vector<sim::EventRecord> events = Events();
    EXPECT_EQ(events.size(), 11u); // every sensor but the Backplane at exactly 0
    EXPECT_TRUE(std::none_of(events.begin(), events.end(),
                             [](const sim::EventRecord& e) { return e.strings.at(0) == "Backplane"; }));
    EXPECT_EQ(Current("THERMAL", "CPU"), std::nullopt); // publishing is off
}

// Rear Upper fan alarms come only from counts the chip gave: the counter width the start-up set, and no
// alarm from a record never read. Limits: warning below 1000 RPM, critical below 500.
struct FanAlarmCase {
    const char* what;
    uint8_t width;                          // register 0x0C as the firmware left it
    uint32_t init;                          // FANCNTL_INIT: the start-up commands enable the 16-bit counters
    int64_t rpm;                            // Rear Upper
    bool busy_first;                        // the first poll's first fan read finds the controller busy
    std::vector<std::string> first, second; // the events of the first and the second poll
};

void PrintTo(const FanAlarmCase& c, std::ostream* os)
{
    *os << c.what;
}

class FanAlarmTest : public MonitorThreadTest, public testing::WithParamInterface<FanAlarmCase> {
protected:
    void Start(const FanAlarmCase& c)
    {
        superio().SetRegister(0x0C, c.width);
        board_.SetSensor("Rear Upper", c.rpm);
        Param("FanControl", "FANCNTL_INIT", c.init);
        Param("", "WARNING_EVENTLOG", 1);
        Param("", "CRITICAL_EVENTLOG", 1);
        Param("", "POLLING_INTERVAL", 100000); // the thread stays asleep; the test polls
        WideLimits();
        Limits("FanControl", "FANSPEED_RU", 0x7FFFFFFF, 1000, 0x7FFFFFFF, 500);
        ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    }

    std::vector<std::string> Poll()
    {
        machine_.eventlog().Clear();
        EvaluateSensors(&ext_);
        return EventSummaries();
    }
};

TEST_P(FanAlarmTest, FanAlarmsComeOnlyFromCountsTheChipGave)
{
    const FanAlarmCase& c = GetParam();
    Start(c);
    if (c.busy_first) {
        superio().HoldBusy(16); // all 16 tries of the poll's first access, the Rear Upper count, see busy
    }
    EXPECT_EQ(Poll(), c.first);
    EXPECT_EQ(Poll(), c.second);
    EXPECT_NEAR(ext_.Sensors[0]->CurrentValue, static_cast<double>(c.rpm), 1.0 + c.rpm / 100.0);
}

INSTANTIATE_TEST_SUITE_P(
    Fans, FanAlarmTest,
    testing::Values(
        // 8-bit counters at power-on: after the start-up the chip counts 16 bits, and so must the reads.
        FanAlarmCase{"SeizedFanOnEightBitFirmware",
                     0x00,
                     1,
                     0,
                     false,
                     {"0x802A0015 Rear Upper 0", "0xC02A000E Rear Upper 0"},
                     {}},
        FanAlarmCase{"SlowFanOnEightBitFirmware", 0x00, 1, 600, false, {"0x802A0015 Rear Upper 600"}, {}},
        // The first read fails: nothing is judged on the 0 the start left; the next read is judged.
        FanAlarmCase{"HealthyFanFirstReadBusy", 0x03, 0, 2400, true, {}, {}},
        FanAlarmCase{"SeizedFanFirstReadBusy",
                     0x03,
                     0,
                     0,
                     true,
                     {},
                     {"0x802A0015 Rear Upper 0", "0xC02A000E Rear Upper 0"}}),
    [](const testing::TestParamInfo<FanAlarmCase>& info) { return std::string(info.param.what); });

TEST_F(MonitorThreadTest, TemperatureWhoseStartReadFailedIsJudgedFromItsFirstGoodRead)
{
    Param("", "WARNING_EVENTLOG", 1);
    Param("", "POLLING_INTERVAL", 100000); // the thread stays asleep; the test polls
    WideLimits();
    Limits("THERMAL", "THERMAL_CPU", 60, 10, 0x7FFFFFFF, static_cast<LONG>(0x80000000));
    board_.SetSensor("CPU", 5);
    bridge().HangTransactions(1, 3); // the sensor's three identity reads work, the CPU read does not
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    ASSERT_EQ(ext_.Sensors[2]->Value, 0);
    machine_.eventlog().Clear();
    bridge().HangTransactions(1); // and the first poll's fails too: its 0 is no reading
    EvaluateSensors(&ext_);
    EXPECT_EQ(EventSummaries(), std::vector<std::string>{});
    machine_.eventlog().Clear();
    EvaluateSensors(&ext_);
    EXPECT_EQ(EventSummaries(), std::vector<std::string>{"0x802A0016 CPU 5"});
}

// An hour at a 1 s interval: the CPU temperature climbs 1 degree a minute from 40 to 90, then falls
// 5 degrees a minute back to 40. The Rear Upper fan follows the CPU through check points 45, 50, ...,
// 85 with a 3 degree cushion; the CPU's limits are 60 (warning) and 80 (critical) above, 10 and 0 below.
TEST_F(MonitorThreadTest, AnHourOfARampGivesTheExpectedEventsAndStagePath)
{
    auto cpu = [](int second) { return second < 3000 ? 40 + second / 60 : 90 - 5 * ((second - 3000) / 60); };
    board_.SetSensor("CPU", cpu(0));
    WideLimits();
    Limits("THERMAL", "THERMAL_CPU", 60, 10, 80, 0);
    Param("FanControl", "FANCNTL_RU_MODE", 0x0001);
    Param("FanControl", "FANCNTL_RU_TEMP_CUSHION", 3);
    for (int n = 0; n < 10; n++) {
        Param("FanControl", "FANCNTL_RU_PWM_" + std::to_string(n), 10 + 20 * n);
    }
    for (int n = 0; n < 9; n++) {
        Param("FanControl", "FANCNTL_RU_TEMP_CHECK_POINT_" + std::to_string(n), 45 + 5 * n);
    }
    Param("FanControl", "FANCNTL_RB_MODE", 0x8002);
    Param("", "POLLING_INTERVAL", 1);
    Param("", "CURRENT_STAGE", 1);
    Param("", "WARNING_EVENTLOG", 1);
    Param("", "CRITICAL_EVENTLOG", 1);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    machine_.eventlog().Clear();

    // Half a second after each poll the test sets what the next poll reads, and notes the stage.
    std::vector<std::pair<int, uint32_t>> stages; // (minute, stage) at each change
    uint32_t stage = 0;
    for (int second = 0; second < 3600; second++) {
        sim::Sleep(sim::Seconds(second) + sim::Ms(500) - sim::Now());
        board_.SetSensor("CPU", cpu(second + 1));
        const uint32_t now_stage = Current("FAN", "FANCNTL_RU_CURRENT_STAGE").value_or(0);
        if (now_stage != stage) {
            stages.emplace_back(second / 60, now_stage);
            stage = now_stage;
        }
    }
    const std::vector<std::pair<int, uint32_t>> expected_stages = {
        {5, 1},  {10, 2}, {15, 3}, {20, 4}, {25, 5}, {30, 6}, {35, 7}, {40, 8}, {45, 9}, // up at each point
        {52, 8}, {53, 7}, {54, 6}, {55, 5}, {56, 4}, {57, 3}, {58, 2}, {59, 1},          // down below it - 3
    };
    EXPECT_EQ(stages, expected_stages);

    const std::vector<std::string> expected_events = {
        "0x802A0016 CPU 61", // minute 21
        "0xC02A0010 CPU 81", // minute 41
        "0x402A000F CPU 80", // minute 52: back inside the critical band, still warning
        "0x402A000F CPU 60", // minute 56
    };
    EXPECT_EQ(EventSummaries(), expected_events);
    const std::vector<sim::EventRecord> events = Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].time / sim::kTicksPerSecond, 21 * 60);
    EXPECT_EQ(events[1].time / sim::kTicksPerSecond, 41 * 60);
    EXPECT_EQ(events[2].time / sim::kTicksPerSecond, 52 * 60);
    EXPECT_EQ(events[3].time / sim::kTicksPerSecond, 56 * 60);
    EXPECT_EQ(Current("FAN", "FANCNTL_RB_CURRENT_PWM"), 128u); // controller mode, every poll
    EXPECT_EQ(superio().Register(0x15), 10 + 20 * 1);          // Rear Upper at stage 1
    EXPECT_EQ(ext_.Sensors[2]->WarningUpperCount, 1u);
    EXPECT_EQ(ext_.Sensors[2]->CriticalUpperCount, 1u);
}

} // namespace
