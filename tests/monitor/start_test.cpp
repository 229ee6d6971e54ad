// The device start: hardware first, then configuration, start-up commands, records, the FWP signal, the
// monitor thread and the started event.
#include "monitor_fixture.h"

namespace {

class StartTest : public MonitorTest {
protected:
    // The environment-controller registers written, in order, from a trace of accesses: an address
    // write to 0x295 followed by a data write to 0x296.
    static std::vector<int> RegistersWritten(const std::string& accesses)
    {
        std::vector<int> out;
        unsigned reg = 0;
        for (size_t at = 0; at < accesses.size();) {
            const size_t end = accesses.find(' ', at);
            const std::string a = accesses.substr(at, end - at);
            if (a.rfind("W295:", 0) == 0) {
                reg = std::stoul(a.substr(5), nullptr, 16);
            } else if (a.rfind("W296:", 0) == 0) {
                out.push_back(static_cast<int>(reg));
            }
            at = end + 1;
        }
        return out;
    }
};

TEST_F(StartTest, StartupCommandsRunInOrderWithEachFansParameters)
{
    Param("FanControl", "FANCNTL_INIT", 1);
    Param("FanControl", "FANCNTL_RU_MODE", 0x8002); // controller mode: with the parameter registers
    Param("FanControl", "FANCNTL_RB_MODE", 0x0003);
    Param("", "POLLING_INTERVAL", 3600);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const std::string accesses = Accesses([&] { status = StartDevice(&ext_); });
    ASSERT_EQ(status, STATUS_SUCCESS);
    const std::vector<int> expected = {0x0C, 0x13, 0x14, 0x17, 0x74,                         // output 3
                                       0x0C, 0x60, 0x61, 0x62, 0x63, 0x64, 0x13, 0x14, 0x15, // Rear Upper
                                       0x0C, 0x13, 0x14, 0x16};                              // Rear Bottom
    EXPECT_EQ(RegistersWritten(accesses), expected);
    EXPECT_EQ(superio().Register(0x13) & 0x37, 0x37); // output 3 and both fans handed to the controller

    EXPECT_EQ(g_DeviceExtension, &ext_);
    EXPECT_EQ(ext_.Started, 1);
    EXPECT_EQ(ext_.RejectRequests, 1); // the start handler's to clear
    EXPECT_NE(ext_.MonitorThreadObject, nullptr);
    ASSERT_EQ(EventSummaries(), std::vector<std::string>{"0x402A0008"});
    EXPECT_EQ(Events()[0].message, "QUAV Device has been started.\r\n");
}

TEST_F(StartTest, WithoutFanControlInitNoStartupCommandRuns)
{
    Param("", "POLLING_INTERVAL", 3600);
    const std::string accesses = Accesses([&] { ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS); });
    EXPECT_EQ(RegistersWritten(accesses), std::vector<int>{});
}

TEST_F(StartTest, RecordsAreInitializedAndReadOnce)
{
    Param("", "POLLING_INTERVAL", 3600);
    Param("THERMAL", "THERMAL_VRM_CRIT_THD_UPPER", 95);
    board_.SetSensor("VRM", 52);
    board_.SetSensor("12V", 11968);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    const SENSOR_RECORD* vrm = ext_.Sensors[5];
    EXPECT_EQ(vrm, &ext_.SensorRecords[11]);
    EXPECT_EQ(vrm->SensorId, static_cast<ULONG>(SENSOR_ID_VRM));
    EXPECT_EQ(vrm->Value, 52);
    EXPECT_EQ(vrm->CriticalUpper, 95);
    EXPECT_EQ(ext_.Sensors[10]->Value, 11968);
    EXPECT_EQ(ext_.Sensors[0]->Value, 0); // fans wait for the first poll
    EXPECT_EQ(ext_.ControlRecords[0].ControlClass, 1u);
    EXPECT_EQ(ext_.ControlRecords[14].ControlClass, 4u);
    EXPECT_EQ(ext_.ControlRecords[14].ControlIndex, 5u);
}

TEST_F(StartTest, FwpModeDrivesTheSignal)
{
    Param("", "POLLING_INTERVAL", 3600);
    Param("", "FWP_MODE", 7);
    bridge().SetGpio(0x80);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio() & 0x80, 0u); // 0x9001: level low
    CONTROL_RECORD fwp = *ext_.ControlItems[14];
    ASSERT_EQ(ReadControlRecord(&fwp), STATUS_SUCCESS);
    EXPECT_EQ(fwp.Value, static_cast<ULONG>(VALUE_FWP_LOW));
}

TEST_F(StartTest, FwpModeAbsentDrivesTheSignalHigh)
{
    Param("", "POLLING_INTERVAL", 3600);
    bridge().SetGpio(0);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio() & 0x80, 0x80u);
}

TEST_F(StartTest, SecondStartDoesNothing)
{
    Param("", "POLLING_INTERVAL", 3600);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    Param("", "FWP_MODE", 1);
    Param("", "POLLING_INTERVAL", 1);
    machine_.eventlog().Clear();
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(StartDevice(&ext_), STATUS_SUCCESS); }), "");
    EXPECT_EQ(ext_.FwpMode, 0u); // the registry was not read again
    EXPECT_EQ(ext_.PollInterval, -36000000000LL);
    EXPECT_TRUE(Events().empty());
}

TEST_F(StartTest, MissingHardwareFailsBeforeAnyConfigurationIsRead)
{
    Param("", "POLLING_INTERVAL", 10);
    bridge().SetIds(0x1039, 0x0967);
    ext_.PollInterval = 12345;
    EXPECT_EQ(StartDevice(&ext_), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(ext_.PollInterval, 12345);
    EXPECT_EQ(ext_.Started, 1); // set first, stays set
    EXPECT_EQ(ext_.MonitorThreadObject, nullptr);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(StartDevice(&ext_), STATUS_SUCCESS); // a start while Started does nothing
}

TEST_F(StartTest, FailingStartupCommandFailsTheStartAfterTheConfiguration)
{
    Param("", "POLLING_INTERVAL", 10);
    Param("FanControl", "FANCNTL_INIT", 1);
    // Initialization reads four controller registers; output 3's start-up then writes 0x0C, reads and
    // writes 0x13, and gives up on the read of 0x14 (busy after 7 accesses), whose status is the
    // command's; or output 3's command passes and a read of Rear Upper's fails (busy after 14 accesses).
    // Either way no later command runs: Rear Bottom's register 0x16 is never written.
    for (const int after : {7, 14}) {
        SCOPED_TRACE(after);
        ext_.Started = 0;
        superio().HoldBusy(16, after);
        NTSTATUS status = STATUS_SUCCESS;
        const std::vector<int> written = RegistersWritten(Accesses([&] { status = StartDevice(&ext_); }));
        EXPECT_EQ(status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(std::count(written.begin(), written.end(), 0x16), 0);
        EXPECT_EQ(ext_.PollInterval, -100000000LL); // the configuration was loaded
        EXPECT_EQ(ext_.MonitorThreadObject, nullptr);
        EXPECT_EQ(ext_.Sensors[0], nullptr); // no record was initialized
        EXPECT_TRUE(Events().empty());
    }
}

TEST_F(StartTest, FailingCpuReadStillStarts)
{
    Param("", "POLLING_INTERVAL", 3600);
    bridge().SetCpuTemperature(50);
    bridge().HangTransactions(1, 3); // the sensor's three identity reads work, the CPU read does not
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(ext_.Sensors[2]->SensorId, static_cast<ULONG>(SENSOR_ID_CPU));
    EXPECT_EQ(ext_.Sensors[2]->Value, 0);
    EXPECT_EQ(EventSummaries(), std::vector<std::string>{"0x402A0008"});
}

TEST_F(StartTest, ThreadCreationFailuresLeaveTheDeviceWithoutPolling)
{
    Param("", "POLLING_INTERVAL", 1);
    machine_.objects().FailThreadCreation(1);
    ASSERT_EQ(StartDevice(&ext_), STATUS_SUCCESS);
    EXPECT_EQ(ext_.MonitorThreadObject, nullptr);
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u); // the test's own
    EXPECT_EQ(EventSummaries(), std::vector<std::string>{"0x402A0008"});

    // A thread whose reference cannot be taken is told to end at once.
    machine_.objects().FailReferences(1);
    EXPECT_EQ(CreateMonitorThread(&ext_), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ext_.MonitorThreadObject, nullptr);
    EXPECT_EQ(ext_.StopMonitor, 1);
    sim::Sleep(sim::Ms(1)); // at once: not at the end of its first 1 s wait
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
    EXPECT_EQ(machine_.objects().OpenHandles(), 0u);
}

} // namespace
