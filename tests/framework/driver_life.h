// Tests of the whole driver on the simulated machine: loaded by the I/O manager, given its device node by
// the Plug and Play manager, reached by user-mode clients and WMI, on the emulated board.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver_test.h"
#include "framework/quavpnp.h"
#include "quavmsg_table.h"
#include "sim/pnp.h"
#include "sim/user.h"
#include "sim/wmi.h"

class DriverLifeTest : public DriverTest {
protected:
    static constexpr const char16_t* kServicePath =
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";

    explicit DriverLifeTest(sim::MachineOptions machine = {}) : DriverTest({}, machine) {}

    void SetUp() override
    {
        DriverTest::SetUp();
        machine_.registry().ImportReg(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters]
"POLLING_INTERVAL"=dword:00000005
"CURRENT_STAGE"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\FAN]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\THERMAL]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\VOLTAGE]
)");
    }

    void TearDown() override
    {
        if (pdo_ != nullptr && Fdo() != nullptr) {
            machine_.pnp().Remove(pdo_);
        }
        if (driver_ != nullptr) {
            machine_.io().UnloadDriver(driver_);
            driver_ = nullptr;
        }
        DriverTest::TearDown();
    }

    NTSTATUS Load()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver_ = machine_.io().LoadDriver("QUAV", DriverEntry, kServicePath, &status, kQuavMessages);
        return status;
    }

    NTSTATUS Add()
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pdo_ = machine_.pnp().AddDevice(driver_, &status);
        return status;
    }

    // Loads the driver, adds the device and starts it.
    void BringUp()
    {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        ASSERT_EQ(Add(), STATUS_SUCCESS);
        ASSERT_EQ(machine_.pnp().Start(pdo_), STATUS_SUCCESS);
    }

    // The driver's device object: the top of the device node's stack, while it exists.
    PDEVICE_OBJECT Fdo()
    {
        PDEVICE_OBJECT top = machine_.io().AttachedTop(pdo_);
        return top != pdo_ && top != nullptr && machine_.io().Exists(top) ? top : nullptr;
    }

    PDEVICE_EXTENSION Extension() { return static_cast<PDEVICE_EXTENSION>(Fdo()->DeviceExtension); }

    std::vector<uint32_t> EventIds()
    {
        std::vector<uint32_t> ids;
        for (const sim::EventRecord& e : machine_.eventlog().Records()) {
            ids.push_back(e.id);
        }
        return ids;
    }

    std::optional<uint32_t> Current(const std::string& subkey, const std::string& name)
    {
        return machine_.registry().GetDword(
            "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\" + subkey, name);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};
