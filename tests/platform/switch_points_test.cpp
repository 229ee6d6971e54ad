// The switch points at the platform's entry points find races that port I/O and signals alone cannot
// reach: a dispatch routine that checks a flag, calls the platform, and trusts the flag it checked, while
// another thread clears it in between.
#include <ostream>
#include <vector>

#include "small_driver.h"

namespace {

constexpr ULONG kTag = 0x63615251; // "QRac"

struct Racy {
    IO_REMOVE_LOCK lock;
    volatile LONG started;
    int torn; // requests that saw the device started, then stopped under them
} g_racy;

// Holds the remove lock, but the stop below never drains it: the flag can change under the request.
NTSTATUS NTAPI RacyControl(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = IoAcquireRemoveLockEx(&g_racy.lock, irp, __FILE__, __LINE__, sizeof g_racy.lock);
    if (!NT_SUCCESS(status)) {
        return small_driver::Complete(irp, status);
    }
    status = STATUS_DEVICE_NOT_CONNECTED;
    if (ReadNoFence(&g_racy.started)) {
        PVOID scratch = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
        if (!ReadNoFence(&g_racy.started)) {
            g_racy.torn++; // the registers it is about to touch are unmapped
        }
        ExFreePool(scratch);
        status = STATUS_SUCCESS;
    }
    IoReleaseRemoveLockEx(&g_racy.lock, irp, sizeof g_racy.lock);
    return small_driver::Complete(irp, status);
}

// The seeds tried: fixed, so that a run is repeatable.
constexpr uint64_t kSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct SwitchCase {
    const char* name;
    bool entry_switch_points;
    bool found;
};

// Named in test listings by its case name, not by its bytes.
void PrintTo(const SwitchCase& c, std::ostream* out)
{
    *out << c.name;
}

class SwitchPointTest : public SmallDriverTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(SwitchPointTest, ARaceBetweenACheckAndAPlatformCall)
{
    const SwitchCase& c = GetParam();
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RacyControl;
    PDEVICE_OBJECT fdo = Fdo(AddNode());
    IoInitializeRemoveLock(&g_racy.lock, kTag, 0, 0);
    g_racy.torn = 0;
    std::vector<uint64_t> finding;
    for (uint64_t seed : kSeeds) {
        const int torn_before = g_racy.torn;
        g_racy.started = 1;
        machine_.scheduler().Reseed(seed, 50, c.entry_switch_points);
        PKTHREAD stop = sim::StartThread("stop", [] { WriteNoFence(&g_racy.started, 0); });
        PIRP irp = machine_.io().AllocateIrp(fdo->StackSize);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        const NTSTATUS status = machine_.io().Send(fdo, irp);
        machine_.io().FreeIrp(irp);
        sim::JoinThread(stop);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_NOT_CONNECTED) << std::hex << status;
        if (g_racy.torn != torn_before) {
            finding.push_back(seed);
        }
    }
    EXPECT_EQ(!finding.empty(), c.found) << ::testing::PrintToString(finding);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SwitchPointTest,
                         ::testing::Values(SwitchCase{"AtEveryEntry", true, true},
                                           SwitchCase{"PortsAndSignalsOnly", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
