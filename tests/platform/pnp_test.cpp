// The Plug and Play manager and the root bus driver, with a small function driver written here: the bus
// driver's knobs, device interfaces, removal and unload, and the reports a driver that breaks the rules
// of removal, power or AddDevice earns.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sim/user.h"
#include "small_driver.h"

namespace {

using small_driver::Flaw;
using small_driver::Lower;
using PnpTest = SmallDriverTest;

TEST_F(PnpTest, RequestsReachTheBusDriverThroughTheStackAndRemovalUnloads)
{
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pnp().InstancePath(pdo), "ROOT\\QUAV\\0000");

    pnp().Delay(IRP_MN_START_DEVICE, sim::Ms(10));
    EXPECT_EQ(pnp().Start(pdo), STATUS_SUCCESS); // pending in the bus driver: the sender waited
    EXPECT_EQ(sim::Now(), sim::Ms(10));
    pnp().FailNext(IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp().QueryRemove(pdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp().QueryRemove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp().Request(pdo, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED); // nobody handled it
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(pnp().Power(pdo, IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);

    pnp().UnloadWhenUnused(driver_);
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Unloads(), 1);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(PnpTest, EnabledInterfaceOpensTheDeviceStack)
{
    PDEVICE_OBJECT pdo = AddNode();
    const GUID guid = {0x60E33CC3, 0xC636, 0x43BE, {0xAC, 0x88, 0x13, 0x29, 0x9D, 0x2F, 0x0C, 0x21}};
    UNICODE_STRING link, again;
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &link), STATUS_SUCCESS);
    const std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
    EXPECT_EQ(name, u"\\??\\ROOT#QUAV#0000#{60e33cc3-c636-43be-ac88-13299d2f0c21}");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &guid, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(again.Buffer, again.Length / sizeof(WCHAR)), name);
    RtlFreeUnicodeString(&again);

    sim::UserClient user(false);
    HANDLE handle;
    const std::u16string path = u"\\\\?\\" + name.substr(4);
    EXPECT_EQ(user.Open(path, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(machine_.io().Interfaces().size(), 1u);
    EXPECT_TRUE(machine_.io().Interfaces()[0].enabled);
    EXPECT_EQ(user.Open(path, &handle), STATUS_INVALID_DEVICE_REQUEST); // the driver's default create
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(machine_.io().Interfaces()[0].enabled);

    UNICODE_STRING unknown = {0, 0, nullptr};
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlInitUnicodeString(&unknown, u"\\??\\ROOT#OTHER#0000#{60e33cc3-c636-43be-ac88-13299d2f0c21}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
}

TEST_F(PnpTest, DriversBreakingTheRulesAreReported)
{
    const std::pair<Flaw, std::vector<std::string>> cases[] = {
        {Flaw::KeepsInitializing, {"DO_DEVICE_INITIALIZING still set"}},
        {Flaw::SkipsPoStart, {"without calling PoStartNextPowerIrp"}},
        {Flaw::FailsRemove, {"does not let a driver fail a removal", "still exists", "still attached"}},
        {Flaw::KeepsDevice, {"still exists", "still attached"}},
    };
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    for (const auto& [flaw, expected] : cases) {
        SetFlaw(flaw);
        PDEVICE_OBJECT pdo = AddNode();
        ASSERT_NE(pdo, nullptr);
        pnp().Power(pdo, IRP_MN_SET_POWER, DevicePowerState, d0);
        pnp().Remove(pdo);
        std::string reports;
        for (const sim::VerifierReport& r : TakeReports()) {
            reports += r.text + "\n";
        }
        for (const std::string& needle : expected) {
            EXPECT_NE(reports.find(needle), std::string::npos) << needle << " in\n" << reports;
        }
        EXPECT_EQ(std::count(reports.begin(), reports.end(), '\n'), static_cast<long>(expected.size()))
            << reports;
        for (PDEVICE_OBJECT left : machine_.io().Devices(driver_)) { // what a broken removal left behind
            IoDetachDevice(Lower(left));
            IoDeleteDevice(left);
        }
    }
}

} // namespace
