// quavsim's machine: the driver booted from the example configuration, running in virtual time.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "default_config.h"
#include "quavmsg.h"
#include "simulation.h"

#include "quavpub.h" // after the platform's types

namespace {

TEST(Simulation, TheExampleConfigurationRunsQuietlyAndPublishes)
{
    ASSERT_FALSE(DefaultConfig().empty());
    quavsim::Simulation simulation(DefaultMachine());
    ASSERT_EQ(simulation.Boot(), STATUS_SUCCESS);
    simulation.RunFor(sim::Seconds(60), sim::Seconds(5));

    sim::Machine& m = simulation.machine();
    const std::string fan = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\FAN";
    EXPECT_NEAR(static_cast<double>(m.registry().GetDword(fan, "FAN_REAR_UPPER").value_or(0)), 2400.0, 10.0);
    // CPU 45 degrees against check points 35, 39, 43, ...: one stage a poll up to 3, then it stays.
    EXPECT_EQ(m.registry().GetDword(fan, "FANCNTL_RU_CURRENT_STAGE"), 3u);
    EXPECT_EQ(m.registry().GetDword(fan, "FANCNTL_RU_CURRENT_PWM"), 0x30u + 3 * 0x14);

    // A row right after each poll has published (polls at 5, 10, ... 55 s, each a little past its second
    // once the ports have been read): none before the first, and the chip holds the published duty.
    const std::vector<quavsim::TraceRow>& trace = simulation.trace();
    ASSERT_EQ(trace.size(), 11u);
    for (size_t i = 0; i < trace.size(); i++) {
        EXPECT_GT(trace[i].time, sim::Seconds(5 * static_cast<int64_t>(i + 1))) << i;
        EXPECT_LT(trace[i].time, sim::Seconds(5 * static_cast<int64_t>(i + 1)) + sim::Ms(100)) << i;
        EXPECT_EQ(trace[i].readings[2], 45) << i;
        EXPECT_EQ(trace[i].chip_pwm[0], trace[i].pwm[0]) << i;
    }
    EXPECT_EQ(trace.back().stage[0], 3u);
    EXPECT_EQ(simulation.StageChanges(), 4); // 0 to 1 to 2 to 3 on the CPU's fan, 0 to 1 on the other
    const std::string csv = simulation.TraceCsv();
    EXPECT_EQ(
        csv.substr(0, csv.find('\n')),
        "time (s),Rear Upper (RPM),Rear Bottom (RPM),CPU (degC),System (degC),Backplane (degC),VRM (degC),"
        "VCCP (mV),1.8V (mV),3.3V (mV),5V (mV),12V (mV),AUX (mV),Rear Upper stage,Rear Upper PWM published,"
        "Rear Upper PWM chip,Rear Bottom stage,Rear Bottom PWM published,Rear Bottom PWM chip,device,"
        "ambient (degC),heat (W),events");
    EXPECT_NE(csv.find(",2402,2250,45,36,31,44,1200,1808,3296,4999,12032,4999,3,108,108,"), std::string::npos)
        << csv;
    EXPECT_NE(simulation.Summary().find("  CPU           45 .. 45 degC\n"), std::string::npos);
    EXPECT_NE(simulation.Summary().find(
                  "remove lock     0 holds over MaxLockedMinutes, 0 times over HighWatermark\n"),
              std::string::npos);

    ASSERT_EQ(simulation.Shutdown(), STATUS_SUCCESS);
    std::vector<uint32_t> ids;
    for (const sim::EventRecord& e : m.eventlog().Records()) {
        ids.push_back(e.id);
    }
    // Every reading is inside its limits: the life cycle only.
    EXPECT_EQ(ids, (std::vector<uint32_t>{QUAV_MSG_LOGGING_ENABLED, QUAV_MSG_DRIVER_INITIALIZED,
                                          QUAV_MSG_DEVICE_STARTED, QUAV_MSG_DEVICE_STOPPED}));
    EXPECT_NE(m.registry().ExportReg("\\REGISTRY\\Machine").find("\"FAN_REAR_UPPER\"=dword:"),
              std::string::npos);
    EXPECT_NE(simulation.Summary().find("simulated time  0:01:00.000"), std::string::npos);
    EXPECT_EQ(m.verifier().Count(), 0u);
}

// A correct query may hold the remove lock for minutes on a hung chip: the summary counts it past a
// checked build's limit, as information, and nothing is reported.
TEST(Simulation, TheSummaryCountsRemoveLockHoldsPastTheCheckedBuildsLimit)
{
    quavsim::Simulation simulation(DefaultMachine());
    ASSERT_EQ(simulation.Boot(), STATUS_SUCCESS);
    simulation.machine().bus().StallWrite(0x295, 0x2A, sim::Seconds(120)); // the VRM register's address
    PKTHREAD query = sim::StartThread("query", [] {
        const GUID block = QUAV_SENSOR_DATA_GUID_INIT;
        std::vector<uint8_t> data;
        EXPECT_EQ(sim::Machine::Current().wmi().QueryAllData(block, &data), STATUS_SUCCESS);
    });
    simulation.RunFor(sim::Seconds(150));
    sim::JoinThread(query);
    EXPECT_NE(simulation.Summary().find("remove lock     1 holds over MaxLockedMinutes, 0 times over "
                                        "HighWatermark\n"),
              std::string::npos)
        << simulation.Summary();
    EXPECT_EQ(simulation.machine().verifier().Count(), 0u);
}

} // namespace
