// The bus driver under QUAV completes at DISPATCH_LEVEL, as a lower driver completing from its DPC does:
// the driver's completion routines then run at DISPATCH_LEVEL, and whatever they call must be allowed
// there (the platform reports otherwise). The driver starts, serves WMI, changes power, stops and is
// removed cleanly, whether the bus completes at once or later from its own thread.
#include "driver_life.h"

namespace {

const GUID kSensorData = {0xA8C67453, 0x1AD8, 0x43AD, {0xBA, 0x86, 0xF9, 0x4F, 0x2E, 0xB7, 0x30, 0x6A}};

struct BusTiming {
    const char* name;
    sim::Ticks pnp_delay;   // the bus completes start, stop and removal this late, from another thread
    sim::Ticks power_delay; // and set-power requests
};

// Named in test listings by its case name, not by its bytes.
void PrintTo(const BusTiming& c, std::ostream* out)
{
    *out << c.name;
}

class DispatchCompletionTest : public DriverLifeTest, public ::testing::WithParamInterface<BusTiming> {};

TEST_P(DispatchCompletionTest, DriverStartsServesStopsAndIsRemovedCleanly)
{
    const BusTiming& t = GetParam();
    sim::PnpManager& pnp = machine_.pnp();
    pnp.CompleteAtDispatch(true);
    for (UCHAR minor :
         {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_REMOVE_DEVICE}) {
        pnp.Delay(minor, t.pnp_delay);
    }
    pnp.DelayPower(DevicePowerState, t.power_delay);

    BringUp();
    EXPECT_EQ(pnp.State(pdo_), sim::PnpState::Started);
    EXPECT_EQ(Extension()->PnpState, PnpStarted);
    std::vector<uint8_t> data;
    EXPECT_EQ(machine_.wmi().QueryAllData(kSensorData, &data), STATUS_SUCCESS);

    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(pnp.Power(pdo_, IRP_MN_SET_POWER, DevicePowerState, state), STATUS_SUCCESS);
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(pnp.Power(pdo_, IRP_MN_SET_POWER, DevicePowerState, state), STATUS_SUCCESS);

    ASSERT_EQ(pnp.Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->PnpState, PnpStopped);
    ASSERT_EQ(pnp.Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Fdo(), nullptr);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_TRUE(machine_.wmi().Registered().empty());
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u); // the monitor thread ended
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Any IRQL report (a wait, the registry or pageable code in a completion routine) fails the test at
    // its end.
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, DispatchCompletionTest,
                         ::testing::Values(BusTiming{"AtOnce", 0, 0},
                                           BusTiming{"LaterFromTheBusThread", sim::Ms(20), 0},
                                           BusTiming{"PowerLaterToo", sim::Ms(20), sim::Ms(20)}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
