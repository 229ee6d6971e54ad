// The driver's whole life under load: loaded, added and started; ten clients send device-control and WMI
// requests while the monitor polls; surprise removal, removal, unload. Run over many seeds of thread
// timing: every interleaving must leave no pool under the driver's tags, no verifier report and no thread.
#include <algorithm>
#include <cstring>

#include "driver_life.h"
#include "eventlog/eventlog.h"

namespace {

const GUID kSensorData = {0xA8C67453, 0x1AD8, 0x43AD, {0xBA, 0x86, 0xF9, 0x4F, 0x2E, 0xB7, 0x30, 0x6A}};

class WholeLifeTest : public DriverLifeTest, public ::testing::WithParamInterface<uint64_t> {
protected:
    static sim::MachineOptions Seeded()
    {
        sim::MachineOptions options;
        options.seed = GetParam();
        options.preempt_percent = 20;
        return options;
    }

    WholeLifeTest() : DriverLifeTest(Seeded()) {}

    // One client: open, a mix of requests, close. Requests may meet a device being removed: then they
    // are refused, never lost or left hanging.
    void Client(int index, int* served, sim::Ticks* closed)
    {
        sim::UserClient user(true);
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(user.Open(u"" QUAV_USER_PATH_TEXT, &handle))) {
            return;
        }
        for (int i = 0; i < 6; i++) {
            if (index % 3 == 0) {
                std::vector<uint8_t> data;
                if (machine_.wmi().QueryAllData(kSensorData, &data) == STATUS_SUCCESS) {
                    EXPECT_EQ(data.size(), 144u);
                    (*served)++;
                }
            } else {
                SENSOR_RECORD r{};
                r.SensorType = SENSOR_TYPE_VOLTAGE;
                r.SensorId = SENSOR_ID_VCCP + static_cast<ULONG>(i % 6);
                ULONG returned = 0;
                const NTSTATUS s = user.DeviceIoControl(handle, IOCTL_QUAV_READ_SENSOR, &r, sizeof r, &r,
                                                        sizeof r, &returned);
                if (s == STATUS_SUCCESS) {
                    EXPECT_EQ(returned, 64u);
                    (*served)++;
                } else {
                    EXPECT_TRUE(s == STATUS_DEVICE_NOT_CONNECTED || s == STATUS_DELETE_PENDING)
                        << std::hex << s;
                }
            }
            sim::Sleep(sim::Ms(700 + 100 * index));
        }
        user.Close(handle);
        *closed = std::max(*closed, sim::Now());
    }
};

TEST_P(WholeLifeTest, LoadServeRemoveUnloadLeavesNothingBehind)
{
    machine_.registry().SetDword("\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Parameters",
                                 "POLLING_INTERVAL", 1);
    // Even seeds: the bus driver completes at DISPATCH_LEVEL, as one completing from its DPC does.
    machine_.pnp().CompleteAtDispatch(GetParam() % 2 == 0);
    BringUp();

    int served = 0;
    sim::Ticks last_close = 0;
    std::vector<PKTHREAD> clients;
    for (int i = 0; i < 10; i++) {
        clients.push_back(sim::StartThread("client " + std::to_string(i), [this, i, &served, &last_close] {
            Client(i, &served, &last_close);
        }));
    }
    sim::Sleep(sim::Seconds(3));
    ASSERT_EQ(machine_.pnp().SurpriseRemoval(pdo_), STATUS_SUCCESS);
    sim::Sleep(sim::Ms(500));
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_GT(last_close, sim::Seconds(4)); // the clients still held their handles at the removal's request
    EXPECT_GE(sim::Now(), last_close);      // and the removal waited for the last of them
    for (PKTHREAD t : clients) {
        sim::JoinThread(t);
    }
    machine_.io().UnloadDriver(driver_);
    driver_ = nullptr;

    EXPECT_GT(served, 0);
    EXPECT_GT(Current("FAN", "FAN_REAR_UPPER").value_or(0), 0u); // the monitor polled meanwhile
    EXPECT_EQ(machine_.pool().Outstanding(REGISTRY_PATH_TAG), 0u);
    EXPECT_EQ(machine_.pool().Outstanding(EVENT_SCRATCH_TAG), 0u);
    EXPECT_EQ(machine_.eventlog().Outstanding(), 0u);
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
    EXPECT_EQ(machine_.objects().OpenHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, WholeLifeTest, ::testing::Range<uint64_t>(1, 101));

} // namespace
