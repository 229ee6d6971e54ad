// When WMI's registration information reaches the driver. Windows sends IRP_MN_REGINFO_EX from a thread
// of its own some time after AddDevice registers: usually before the start, but it may come while the
// device runs, after a stop, or while the removal drains the remove lock. The driver answers it until a
// stop or removal closes the lock; after that its data block stays unregistered.
#include "driver_life.h"

namespace {

const GUID kSensorData = QUAV_SENSOR_DATA_GUID_INIT;

enum class Moment { BeforeStart, WhileStarted, AfterStop, DuringRemoval };

struct RegInfoMoment {
    const char* name;
    Moment moment;
    NTSTATUS reginfo_status; // the driver's answer
    bool registered;         // the data block's GUID is known to WMI
    NTSTATUS query;          // a query of the block right after
};

// Named in test listings by its case name, not by its bytes.
void PrintTo(const RegInfoMoment& c, std::ostream* out)
{
    *out << c.name;
}

const RegInfoMoment kMoments[] = {
    {"before_start", Moment::BeforeStart, STATUS_SUCCESS, true, STATUS_SUCCESS},
    {"while_started", Moment::WhileStarted, STATUS_SUCCESS, true, STATUS_SUCCESS},
    {"after_stop", Moment::AfterStop, STATUS_DELETE_PENDING, false, STATUS_WMI_GUID_NOT_FOUND},
    {"during_removal", Moment::DuringRemoval, STATUS_DELETE_PENDING, false, STATUS_WMI_GUID_NOT_FOUND},
};

class WmiTimingTest : public DriverLifeTest, public ::testing::WithParamInterface<RegInfoMoment> {
protected:
    // WMI's thread, held since the registration, sends the registration information now.
    void Deliver()
    {
        machine_.wmi().ReleaseRegInfo();
        sim::Yield();
        ASSERT_EQ(machine_.wmi().PendingRegInfo(), 0u);
    }
};

TEST_P(WmiTimingTest, RegistrationInformationIsAnsweredUntilTheRemoveLockCloses)
{
    const RegInfoMoment& c = GetParam();
    machine_.wmi().SetRegInfoDelivery(sim::RegInfoDelivery::Held);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    if (c.moment == Moment::BeforeStart) {
        Deliver();
    }
    ASSERT_EQ(machine_.pnp().Start(pdo_), STATUS_SUCCESS);
    PKTHREAD removal = nullptr;
    int request = 0; // a request in flight, as far as the remove lock knows: its tag
    if (c.moment == Moment::WhileStarted) {
        Deliver();
    } else if (c.moment == Moment::AfterStop) {
        ASSERT_EQ(machine_.pnp().Stop(pdo_), STATUS_SUCCESS);
        Deliver();
    } else if (c.moment == Moment::DuringRemoval) {
        ASSERT_EQ(IoAcquireRemoveLockEx(&Extension()->RemoveLock, &request, __FILE__, __LINE__,
                                        sizeof(IO_REMOVE_LOCK)),
                  STATUS_SUCCESS);
        removal =
            sim::StartThread("removal", [this] { EXPECT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS); });
        sim::Sleep(sim::Seconds(1));
        ASSERT_TRUE(Extension()->RemoveLock.Common.Removed); // the removal waits for the request
        Deliver();
    }
    const std::optional<sim::WmiRegistration> registration = machine_.wmi().Registration(Fdo());
    ASSERT_TRUE(registration.has_value());
    EXPECT_EQ(registration->reginfo_status, c.reginfo_status);
    EXPECT_EQ(registration->guids.size(), c.registered ? 2u : 0u);
    std::vector<uint8_t> data;
    EXPECT_EQ(machine_.wmi().QueryAllData(kSensorData, &data), c.query);
    if (removal != nullptr) {
        IoReleaseRemoveLockEx(&Extension()->RemoveLock, &request, sizeof(IO_REMOVE_LOCK));
        sim::JoinThread(removal);
        EXPECT_TRUE(machine_.wmi().Registered().empty());
        EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Wmi, WmiTimingTest, ::testing::ValuesIn(kMoments),
                         [](const ::testing::TestParamInfo<RegInfoMoment>& info) { return info.param.name; });

// A query racing the removal: one in the hardware when the removal comes finishes with its data (the
// removal drains it); one sent during the drain is refused; after the removal the block is gone.
TEST_F(DriverLifeTest, WmiQueriesRacingTheRemoval)
{
    BringUp();
    machine_.bus().StallWrite(0x295, 0x2A, sim::Seconds(30)); // the VRM register's address write
    struct Query {
        const char* when;
        sim::Ticks sent;
        NTSTATUS status;
        NTSTATUS expected;
    };
    std::vector<Query> queries = {
        {"in the hardware", sim::Seconds(0), STATUS_PENDING, STATUS_SUCCESS},
        {"during the drain", sim::Seconds(10), STATUS_PENDING, STATUS_DEVICE_NOT_CONNECTED},
        {"after the removal", sim::Seconds(60), STATUS_PENDING, STATUS_WMI_GUID_NOT_FOUND}};
    std::vector<PKTHREAD> threads;
    for (Query& q : queries) {
        threads.push_back(sim::StartThread(std::string("query ") + q.when, [&q] {
            sim::Sleep(q.sent);
            std::vector<uint8_t> data;
            q.status = sim::Machine::Current().wmi().QueryAllData(kSensorData, &data);
        }));
    }
    sim::Sleep(sim::Seconds(5));
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_GE(sim::Now(), sim::Seconds(30)); // the removal waited for the query in the hardware
    for (PKTHREAD t : threads) {
        sim::JoinThread(t);
    }
    for (const Query& q : queries) {
        EXPECT_EQ(q.status, q.expected) << q.when;
    }
}

} // namespace
