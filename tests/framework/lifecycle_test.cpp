// Driver entry, device creation, Plug and Play, power and removal.
#include <cctype>
#include <cstring>
#include <string>

#include "driver_life.h"
#include "quavmsg.h"

namespace {

class LifecycleTest : public DriverLifeTest {
protected:
    size_t Count(uint32_t id)
    {
        const std::vector<uint32_t> ids = EventIds();
        return static_cast<size_t>(std::count(ids.begin(), ids.end(), id));
    }
};

// The copy holds the path and zeros up to MaximumLength; a malformed path whose Length exceeds its
// MaximumLength is cut to the buffer, never read past it.
TEST_F(LifecycleTest, DriverEntryKeepsAZeroFilledCopyOfThePath)
{
    for (const bool malformed : {false, true}) {
        SCOPED_TRACE(malformed ? "Length > MaximumLength" : "well formed");
        PDRIVER_OBJECT driver = machine_.io().CreateDriverObject("QUAV", kQuavMessages);
        std::u16string text = u"\\REGISTRY\\Machine\\SYSTEM\\QUAV";
        std::vector<WCHAR> buffer(text.size() + 8, u'#');
        std::copy(text.begin(), text.end(), buffer.begin());
        const auto bytes = static_cast<USHORT>(buffer.size() * 2);
        UNICODE_STRING path{malformed ? static_cast<USHORT>(bytes + 16)
                                      : static_cast<USHORT>(text.size() * 2),
                            bytes, buffer.data()};
        ASSERT_EQ(DriverEntry(driver, &path), STATUS_SUCCESS);
        ASSERT_NE(RegistryPathCopy.Buffer, buffer.data());
        EXPECT_EQ(RegistryPathCopy.Length, malformed ? bytes : path.Length);
        EXPECT_EQ(RegistryPathCopy.MaximumLength, bytes);
        const size_t copied = RegistryPathCopy.Length / 2;
        EXPECT_EQ(std::u16string(RegistryPathCopy.Buffer, buffer.size()),
                  std::u16string(buffer.data(), copied) + std::u16string(buffer.size() - copied, u'\0'));
        EXPECT_EQ(machine_.pool().Outstanding(REGISTRY_PATH_TAG), 1u);
        EXPECT_EQ(EventIds(), (std::vector<uint32_t>{QUAV_MSG_LOGGING_ENABLED, QUAV_MSG_DRIVER_INITIALIZED}));
        DriverUnload(driver);
        EXPECT_EQ(machine_.pool().Outstanding(REGISTRY_PATH_TAG), 0u);
        machine_.eventlog().Clear();
    }
}

TEST_F(LifecycleTest, PathCopyFailureLogsTwiceAndLoadsNothing)
{
    machine_.pool().FailAllocations(REGISTRY_PATH_TAG, 1);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver_, nullptr);
    EXPECT_EQ(EventIds(), (std::vector<uint32_t>{QUAV_MSG_LOGGING_ENABLED, QUAV_MSG_LOGGING_ENABLED}));
}

TEST_F(LifecycleTest, AddDeviceFailuresUndoWhatWasDone)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    PDEVICE_OBJECT first = pdo_;
    EXPECT_EQ(machine_.pnp().AddDevice(driver_, nullptr), nullptr); // the name is taken
    EXPECT_EQ(machine_.io().Devices(driver_).size(), 1u);
    ASSERT_EQ(machine_.pnp().Remove(first), STATUS_SUCCESS);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());

    // A stale link of the same name: the link's status, and the device object is gone.
    ASSERT_EQ(machine_.io().CreateSymbolicLink(u"" QUAV_LINK_NAME_TEXT, u"\\Device\\Stale"), STATUS_SUCCESS);
    NTSTATUS status = STATUS_SUCCESS;
    pdo_ = machine_.pnp().AddDevice(driver_, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    machine_.io().DeleteSymbolicLink(u"" QUAV_LINK_NAME_TEXT);

    // No device stack to attach to: STATUS_NO_SUCH_DEVICE, with the device object, its link and the
    // interface name gone and nothing registered, so that the next AddDevice makes them all again.
    const size_t pool_before = machine_.pool().OutstandingTotal();
    machine_.io().FailAttach(1);
    pdo_ = machine_.pnp().AddDevice(driver_, &status);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(pdo_, nullptr);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_EQ(machine_.pool().OutstandingTotal(), pool_before);
    EXPECT_EQ(machine_.pool().Outstanding(0x72747355), 0u); // the interface name
    EXPECT_TRUE(machine_.wmi().Registered().empty());

    // The interface cannot be registered (its name not allocated): the link and the device object go.
    machine_.pool().FailAllocations(0x72747355, 1);
    pdo_ = machine_.pnp().AddDevice(driver_, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_EQ(machine_.pool().OutstandingTotal(), pool_before);
    ASSERT_EQ(Add(), STATUS_SUCCESS); // the name and the link are free again
}

TEST_F(LifecycleTest, RequestsAreRefusedUntilTheStart)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->RejectRequests, 1);
    EXPECT_EQ(Fdo()->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    EXPECT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(machine_.pnp().Start(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_SUCCESS);
    const std::vector<sim::DeviceInterface> interfaces = machine_.io().Interfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    const GUID quav_interface = {
        0x60E33CC3, 0xC636, 0x43BE, {0xAC, 0x88, 0x13, 0x29, 0x9D, 0x2F, 0x0C, 0x21}};
    EXPECT_EQ(std::memcmp(&interfaces[0].guid, &quav_interface, sizeof(GUID)), 0);
    EXPECT_EQ(Fdo()->DeviceType, 0x8800u);
    EXPECT_EQ(Fdo()->Characteristics & ~static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN), 0u); // the INF's own
    EXPECT_EQ(user.Close(handle), STATUS_SUCCESS);
}

// The driver vetoes a removal while a handle is open; the PnP manager's cancel-remove puts it back to
// work. Once the handle is closed the removal goes through.
TEST_F(LifecycleTest, RemovalWithAnOpenHandleIsVetoed)
{
    BringUp();
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    ASSERT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_SUCCESS);
    std::string account;
    EXPECT_EQ(machine_.pnp().Remove(pdo_, &account), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(account, "sent query-remove: vetoed with 0xC0000001; then cancel-remove");
    EXPECT_EQ(Extension()->PnpState, PnpStarted);
    EXPECT_EQ(Extension()->RejectRequests, 0);
    ULONG returned = 0;
    EXPECT_EQ(user.DeviceIoControl(handle, IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    ASSERT_EQ(user.Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(machine_.pnp().Remove(pdo_, &account), STATUS_SUCCESS);
    EXPECT_EQ(account, "sent query-remove; sent remove");
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
}

TEST_F(LifecycleTest, FailedStartThenRemovalLogsTheStopOnce)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    bridge().SetIds(0x1039, 0x0000);
    EXPECT_EQ(machine_.pnp().Start(pdo_), STATUS_NO_SUCH_DEVICE);
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    EXPECT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 1u);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STARTED), 0u);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
}

TEST_F(LifecycleTest, RemovalOfANeverStartedDeviceTearsEverythingDown)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 0u);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_FALSE(machine_.wmi().Registration(pdo_).has_value());
    EXPECT_TRUE(machine_.wmi().Registered().empty());
    EXPECT_EQ(machine_.io().Interfaces().at(0).enabled, false);
    EXPECT_EQ(machine_.pool().Outstanding(0x72747355), 0u); // the interface name was freed
}

// The removal after a surprise removal waits for the last handle, whose requests the driver refuses
// meanwhile; the monitor thread polls on until the removal.
TEST_F(LifecycleTest, SurpriseRemovalThenRemovalOnceTheLastHandleCloses)
{
    BringUp();
    sim::UserClient user(true);
    HANDLE kept = nullptr;
    ASSERT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &kept), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().SurpriseRemoval(pdo_), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    EXPECT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_OBJECT_NAME_NOT_FOUND); // the link is gone
    EXPECT_FALSE(machine_.io().Interfaces().at(0).enabled);
    PKTHREAD closer = sim::StartThread("closer", [&] {
        sim::Sleep(sim::Seconds(3));
        ULONG returned = 0;
        EXPECT_EQ(user.DeviceIoControl(kept, IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned),
                  STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_NE(Extension()->MonitorThreadObject, nullptr); // polling goes on until the removal
        EXPECT_EQ(user.Close(kept), STATUS_SUCCESS);
    });
    const sim::Ticks asked = sim::Now();
    ASSERT_NE(g_DeviceExtension, nullptr);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - asked, sim::Seconds(3));
    sim::JoinThread(closer);
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 1u);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_EQ(g_DeviceExtension, nullptr); // nothing points into the freed device object
}

// A stop closes the remove lock for good, so a later start (Windows restarts a stopped device) fails,
// and Windows removes the device; or the device is surprise-removed while stopped. Either way the
// removal still tears everything down, the monitor thread too.
struct AfterStop {
    const char* what;
    bool surprise;
};

void PrintTo(const AfterStop& c, std::ostream* out)
{
    *out << c.what;
}

class StopTest : public LifecycleTest, public ::testing::WithParamInterface<AfterStop> {};

TEST_P(StopTest, StopIsFinalButRemovalStillTearsDown)
{
    BringUp();
    ASSERT_EQ(machine_.pnp().Stop(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 1u);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(machine_.pnp().Power(pdo_, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
    if (GetParam().surprise) {
        ASSERT_EQ(machine_.pnp().SurpriseRemoval(pdo_), STATUS_SUCCESS);
    } else {
        EXPECT_EQ(machine_.pnp().Start(pdo_), STATUS_DELETE_PENDING); // restarting would re-initialize locks
        EXPECT_EQ(machine_.pnp().State(pdo_), sim::PnpState::StartFailed);
    }
    const void* thread = Extension()->MonitorThreadObject;
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(machine_.scheduler().LiveThreads(), 1u);   // the monitor thread was ended
    EXPECT_EQ(machine_.objects().References(thread), 0); // and the driver's reference dropped
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
    EXPECT_TRUE(machine_.wmi().Registered().empty());
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, StopTest,
                         ::testing::Values(AfterStop{"RestartFailsThenRemoval", false},
                                           AfterStop{"SurpriseRemovalWhileStoppedThenRemoval", true}),
                         [](const ::testing::TestParamInfo<AfterStop>& info) { return info.param.what; });

TEST_F(LifecycleTest, PowerRequestsArePassedDown)
{
    BringUp();
    POWER_STATE s0;
    s0.SystemState = PowerSystemWorking;
    EXPECT_EQ(machine_.pnp().Power(pdo_, IRP_MN_QUERY_POWER, SystemPowerState, s0), STATUS_SUCCESS);
    machine_.pnp().FailNext(IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(machine_.pnp().Request(pdo_, IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
}

TEST_F(LifecycleTest, StartWaitsForALowerDriverThatPends)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    machine_.pnp().Delay(IRP_MN_START_DEVICE, sim::Seconds(2));
    const sim::Ticks before = sim::Now();
    EXPECT_EQ(machine_.pnp().Start(pdo_), STATUS_SUCCESS);
    EXPECT_GE(sim::Now() - before, sim::Seconds(2));
    EXPECT_EQ(Extension()->Started, 1);
}

// A WMI query holds no file: nothing vetoes the removal, which waits for the query to finish before the
// lower driver sees it.
TEST_F(LifecycleTest, RemovalWaitsForARequestBlockedInTheHardware)
{
    BringUp();
    // A sensor read held 30 s in the controller's address write of the VRM register.
    machine_.bus().StallWrite(0x295, 0x2A, sim::Seconds(30));
    sim::Ticks finished = 0;
    PKTHREAD consumer = sim::StartThread("consumer", [&] {
        const GUID block = QUAV_SENSOR_DATA_GUID_INIT;
        std::vector<uint8_t> data;
        EXPECT_EQ(machine_.wmi().QueryAllData(block, &data), STATUS_SUCCESS);
        finished = sim::Now();
    });
    sim::Sleep(sim::Seconds(1));
    ASSERT_EQ(finished, 0);
    ASSERT_EQ(machine_.pnp().QueryRemove(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_GE(finished, sim::Seconds(30)); // the removal ended after the query
    sim::JoinThread(consumer);
}

// A handle closed while its device control is blocked: the cleanup comes at once, the close only when
// the request has finished. Until then the driver still counts the file open and refuses query-remove.
TEST_F(LifecycleTest, AHandleClosedDuringItsRequestVetoesRemovalUntilTheRequestEnds)
{
    BringUp();
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    ASSERT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_SUCCESS);
    machine_.bus().StallWrite(0x295, 0x2A, sim::Seconds(30));
    sim::Ticks finished = 0;
    PKTHREAD client = sim::StartThread("client", [&] {
        SENSOR_RECORD r{};
        r.SensorType = SENSOR_TYPE_TEMPERATURE;
        r.SensorId = SENSOR_ID_VRM;
        ULONG returned = 0;
        EXPECT_EQ(user.DeviceIoControl(handle, IOCTL_QUAV_READ_SENSOR, &r, sizeof r, &r, sizeof r, &returned),
                  STATUS_SUCCESS);
        finished = sim::Now();
    });
    sim::Sleep(sim::Seconds(1));
    ASSERT_EQ(user.Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Extension()->OpenHandleCount, 1);
    EXPECT_EQ(machine_.pnp().QueryRemove(pdo_), STATUS_UNSUCCESSFUL);
    sim::JoinThread(client);
    EXPECT_GE(finished, sim::Seconds(30));
    EXPECT_EQ(Extension()->OpenHandleCount, 0);
    ASSERT_EQ(machine_.pnp().QueryRemove(pdo_), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
}

// The device's state after a sequence of Plug and Play requests, each completed with success: user-mode and
// WMI requests are admitted only in the started state, and a cancel restores the state before its query.
// Most sequences are orders Windows does not send (out_of_order): the driver's dispatch is written to
// keep its state sane through them all the same, and these rows hold it to that.
struct PnpSequence {
    const char* what;
    bool start_first;
    bool out_of_order;
    std::vector<UCHAR> requests;
    DEVICE_PNP_STATE state;
};

const PnpSequence kPnpSequences[] = {
    // The cancel reaches a device that never saw its query when a driver above it vetoed first.
    {"removal vetoed elsewhere before any start",
     false,
     true,
     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
     PnpNotStarted},
    {"stop cancelled before any start",
     false,
     true,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
     PnpNotStarted},
    {"stop cancelled", true, false, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}, PnpStarted},
    {"removal cancelled", true, false, {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, PnpStarted},
    {"removal queried", true, false, {IRP_MN_QUERY_REMOVE_DEVICE}, PnpRemovePending},
    {"cancel-remove without its query", false, true, {IRP_MN_CANCEL_REMOVE_DEVICE}, PnpNotStarted},
    {"cancel-stop without its query", false, true, {IRP_MN_CANCEL_STOP_DEVICE}, PnpNotStarted},
    {"removal queried and cancelled while a stop is pending",
     true,
     true,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
     PnpStopPending},
    {"stop before any start, then a start",
     false,
     true,
     {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE},
     PnpStarted},
    {"start of a started device", true, true, {IRP_MN_START_DEVICE}, PnpStarted},
    {"stop", true, false, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, PnpStopped},
    {"surprise removal, then cancels",
     true,
     true,
     {IRP_MN_SURPRISE_REMOVAL, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
     PnpSurpriseRemoved},
};

void PrintTo(const PnpSequence& sequence, std::ostream* out)
{
    *out << sequence.what;
}

class PnpSequenceTest : public DriverLifeTest, public ::testing::WithParamInterface<PnpSequence> {};

TEST_P(PnpSequenceTest, RequestsAreAdmittedOnlyWhenStarted)
{
    const PnpSequence& sequence = GetParam();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Add(), STATUS_SUCCESS);
    sim::Yield(); // WMI's thread asks for the registration information: the block is registered
    if (sequence.start_first) {
        ASSERT_EQ(machine_.pnp().Start(pdo_), STATUS_SUCCESS);
    }
    for (UCHAR minor : sequence.requests) {
        const NTSTATUS status = sequence.out_of_order ? machine_.pnp().SendOutOfOrder(pdo_, minor)
                                                      : machine_.pnp().Request(pdo_, minor);
        ASSERT_EQ(status, STATUS_SUCCESS) << "minor 0x" << std::hex << int(minor);
    }
    EXPECT_EQ(Extension()->PnpState, sequence.state);
    const bool started = sequence.state == PnpStarted;
    EXPECT_EQ(Extension()->RejectRequests, started ? 0 : 1);
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    const NTSTATUS open = user.Open(u"\\\\.\\QUAVDSL", &handle);
    if (started) {
        EXPECT_EQ(open, STATUS_SUCCESS);
        EXPECT_EQ(user.Close(handle), STATUS_SUCCESS);
    } else {
        EXPECT_NE(open, STATUS_SUCCESS);
    }
    std::vector<uint8_t> data;
    const GUID block = QUAV_SENSOR_DATA_GUID_INIT;
    EXPECT_EQ(machine_.wmi().QueryAllData(block, &data),
              started ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, PnpSequenceTest, ::testing::ValuesIn(kPnpSequences),
                         [](const ::testing::TestParamInfo<PnpSequence>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != 0; c++) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

// After a surprise removal nothing reopens the device: handles opened before it stay refused through a
// cancel-remove and a start, and the removal still tears down once. Windows sends neither after a
// surprise removal, and the PnP manager refuses them; the driver refuses to be reopened all the same when
// they are sent out of order.
TEST_F(LifecycleTest, NothingReopensASurpriseRemovedDevice)
{
    BringUp();
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    ASSERT_EQ(user.Open(u"\\\\.\\QUAVDSL", &handle), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().SurpriseRemoval(pdo_), STATUS_SUCCESS);
    ULONG returned = 0;
    const GUID block = QUAV_SENSOR_DATA_GUID_INIT;
    std::vector<uint8_t> data;
    EXPECT_EQ(machine_.pnp().CancelRemove(pdo_), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(machine_.pnp().Start(pdo_), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(machine_.pnp().SendOutOfOrder(pdo_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(user.DeviceIoControl(handle, IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine_.wmi().QueryAllData(block, &data), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine_.pnp().SendOutOfOrder(pdo_, IRP_MN_START_DEVICE), STATUS_DELETE_PENDING);
    EXPECT_EQ(user.DeviceIoControl(handle, IOCTL_QUAV_NOP1, nullptr, 0, nullptr, 0, &returned),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(machine_.wmi().QueryAllData(block, &data), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(machine_.io().Interfaces().at(0).enabled);
    EXPECT_EQ(user.Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(Count(QUAV_MSG_DEVICE_STOPPED), 1u);
    EXPECT_TRUE(machine_.io().Devices(driver_).empty());
}

} // namespace

namespace {

class AccessTest : public DriverLifeTest {};

struct AccessCase {
    bool package; // installed with the package's device security (the PnP manager's default)
    bool administrator;
    const char16_t* path;
    NTSTATUS expected;
};

// As on Windows once quav.inf has installed the device: SYSTEM and Administrators only, also for names
// below the device. Without the package a named device object opens to anyone, who could then set the
// fans' PWM.
TEST_F(AccessTest, PackageSecurityKeepsOrdinaryUsersOutWithOrWithoutATrailingName)
{
    const AccessCase cases[] = {
        {true, false, u"" QUAV_USER_PATH_TEXT, STATUS_ACCESS_DENIED},
        {true, false, u"" QUAV_USER_PATH_TEXT "\\anything", STATUS_ACCESS_DENIED},
        {true, true, u"" QUAV_USER_PATH_TEXT, STATUS_SUCCESS},
        {true, true, u"" QUAV_USER_PATH_TEXT "\\anything", STATUS_SUCCESS},
        {false, false, u"" QUAV_USER_PATH_TEXT, STATUS_SUCCESS},
        {false, false, u"" QUAV_USER_PATH_TEXT "\\anything", STATUS_SUCCESS},
    };
    for (bool package : {true, false}) {
        machine_.pnp().SetPackageSecurity(package);
        BringUp();
        for (const AccessCase& c : cases) {
            if (c.package != package) {
                continue;
            }
            sim::UserClient client(c.administrator);
            HANDLE handle = nullptr;
            EXPECT_EQ(client.Open(c.path, &handle), c.expected)
                << (package ? "package, " : "no package, ") << (c.administrator ? "administrator" : "user");
            // A refused open never reached the driver.
            EXPECT_EQ(Extension()->OpenHandleCount, c.expected == STATUS_SUCCESS ? 1 : 0);
            if (handle != nullptr) {
                EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
            }
        }
        EXPECT_EQ(machine_.pnp().Remove(pdo_), STATUS_SUCCESS);
        machine_.io().UnloadDriver(driver_);
        driver_ = nullptr;
    }
}

} // namespace
