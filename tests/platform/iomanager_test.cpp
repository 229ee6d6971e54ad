// The I/O manager: a request's trip down and up a stack, the checks on completion and dispatch return
// values, remove locks, names, stacks, drivers and the user-mode side, with small drivers written here.
#include <cstring>
#include <string>
#include <utility>

#include "sim/device_security.h"
#include "sim/user.h"
#include "sim_test.h"

namespace {

struct Trace {
    int routine_calls = 0;
    PDEVICE_OBJECT routine_device = nullptr;
    bool pending_returned = false;
    int sender_calls = 0;
    PDEVICE_OBJECT sender_device = nullptr;
    CHAR sender_location = 0; // the IRP's CurrentLocation when it is back at the sender
    int creates = 0;
    bool unloaded = false;
} g;
PDEVICE_OBJECT g_lower;

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes from another thread a millisecond later, as hardware would.
NTSTATUS NTAPI CompleteLater(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    sim::StartThread("interrupt", [irp] {
        sim::Sleep(sim::Ms(1));
        irp->IoStatus.Information = 7;
        Complete(irp, STATUS_SUCCESS);
    });
    return STATUS_PENDING;
}

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    g.routine_calls++;
    g.routine_device = device;
    g.pending_returned = irp->PendingReturned;
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A start handler: the lower driver first, then this one's own work, then the completion.
NTSTATUS NTAPI StartHandler(PDEVICE_OBJECT, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, TakeBack, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(g_lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return Complete(irp, irp->IoStatus.Status);
}

NTSTATUS NTAPI AtSender(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    g.sender_calls++;
    g.sender_device = device;
    g.sender_location = irp->CurrentLocation;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    g.creates += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
    return Complete(irp, STATUS_SUCCESS);
}

// Device control: the output is the three input bytes' sum counting up, and the function number is
// the byte count claimed; function 0xFFF fails.
NTSTATUS NTAPI Fill(PDEVICE_OBJECT, PIRP irp)
{
    const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const int sum = buffer[0] + buffer[1] + buffer[2];
    for (ULONG i = 0; i < p.OutputBufferLength; i++) {
        buffer[i] = static_cast<UCHAR>(sum + i);
    }
    irp->IoStatus.Information = (p.IoControlCode >> 2) & 0xFFF;
    return Complete(irp, irp->IoStatus.Information == 0xFFF ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
}

class IoManagerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        g = {};
    }

    sim::IoManager& io() { return machine_.io(); }

    PDEVICE_OBJECT Device(std::initializer_list<UCHAR> majors, PDRIVER_DISPATCH routine,
                          std::u16string name = u"")
    {
        PDRIVER_OBJECT driver = io().CreateDriverObject("Test");
        for (UCHAR major : majors) {
            driver->MajorFunction[major] = routine;
        }
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(io().CreateDevice(driver, 16, name, 0x22, 0, false, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    NTSTATUS SendPnp(PDEVICE_OBJECT top)
    {
        PIRP irp = io().AllocateIrp(top->StackSize);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
        IoSetCompletionRoutine(irp, AtSender, nullptr, TRUE, TRUE, TRUE);
        const NTSTATUS status = io().Send(top, irp);
        io().FreeIrp(irp);
        return status;
    }

    static NTSTATUS Open(sim::UserClient& client, const char16_t* path)
    {
        HANDLE handle;
        const NTSTATUS status = client.Open(path, &handle);
        if (NT_SUCCESS(status)) {
            client.Close(handle);
        }
        return status;
    }
};

TEST_F(IoManagerTest, CompletionRoutineTakesTheRequestBackAndTheSecondCompletionReachesTheSender)
{
    g_lower = Device({IRP_MJ_PNP}, CompleteLater);
    PDEVICE_OBJECT upper = Device({IRP_MJ_PNP}, StartHandler);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, g_lower), g_lower);
    EXPECT_EQ(upper->StackSize, 2);

    EXPECT_EQ(SendPnp(upper), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), sim::Ms(1));
    EXPECT_EQ(g.routine_calls, 1);
    EXPECT_EQ(g.routine_device, upper);
    EXPECT_TRUE(g.pending_returned);
    EXPECT_EQ(g.sender_calls, 1);
    EXPECT_EQ(g.sender_device, nullptr); // the sender's own routine runs with no device
    EXPECT_EQ(g.sender_location, upper->StackSize + 1);
}

TEST_F(IoManagerTest, BrokenDispatchRoutinesAreReported)
{
    using D = PDEVICE_OBJECT;
    const std::pair<PDRIVER_DISPATCH, const char*> cases[] = {
        {[](D, PIRP irp) NTAPI { return Complete(irp, Complete(irp, STATUS_SUCCESS)); },
         "completed after it was freed"},
        {[](D, PIRP irp) NTAPI {
             IoMarkIrpPending(irp);
             return Complete(irp, STATUS_PENDING);
         },
         "completed with STATUS_PENDING"},
        {[](D, PIRP irp) NTAPI -> NTSTATUS {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         },
         "without marking the IRP pending"},
        {[](D, PIRP irp) NTAPI -> NTSTATUS {
             Complete(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         },
         "returned 0x00000000 but completed the IRP with 0xC0000001"},
    };
    PDEVICE_OBJECT device = Device({}, nullptr);
    for (const auto& [dispatch, report] : cases) {
        device->DriverObject->MajorFunction[IRP_MJ_PNP] = dispatch;
        g.sender_calls = 0;
        SendPnp(device);
        EXPECT_TRUE(OneReportContaining(report)) << report;
        EXPECT_EQ(g.sender_calls, 1) << report; // a second completion changes nothing
    }
}

TEST_F(IoManagerTest, RemoveLockCountsHoldersAndDrainsBeforeRemoval)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x54534554, 0, 2);
    int a, b, c;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_SUCCESS);
    const ULONG line = __LINE__ - 1;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &b), STATUS_SUCCESS);
    auto holders = io().Holders(&lock);
    ASSERT_EQ(holders.size(), 2u);
    EXPECT_EQ(holders[0].tag, &a);
    EXPECT_EQ(holders[0].line, line);
    EXPECT_TRUE(holders[0].file.ends_with("iomanager_test.cpp"));
    EXPECT_EQ(lock.Common.IoCount, 3);

    IoAcquireRemoveLock(&lock, &c); // past the high watermark: a free build lets it be
    EXPECT_EQ(io().PeakHolders(&lock), 3u);
    IoReleaseRemoveLock(&lock, &c);
    IoReleaseRemoveLock(&lock, &b);
    IoReleaseRemoveLock(&lock, &b);
    EXPECT_TRUE(OneReportContaining("release without acquire"));

    PKTHREAD holder = sim::StartThread("holder", [&] {
        EXPECT_EQ(IoAcquireRemoveLock(&lock, &b), STATUS_SUCCESS);
        sim::Sleep(sim::Ms(5));
        IoReleaseRemoveLock(&lock, &b);
    });
    sim::Yield();
    IoReleaseRemoveLockAndWait(&lock, &a);
    EXPECT_EQ(sim::Now(), sim::Ms(5));
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_DELETE_PENDING);
    EXPECT_TRUE(io().Holders(&lock).empty());
    sim::JoinThread(holder);
}

// A checked build's limits: holds longer than MaxLockedMinutes (counted while outstanding, and once at
// their release) and acquisitions that leave more than HighWatermark holders. Counted for the summary,
// never reported: correct requests pass both.
TEST_F(IoManagerTest, RemoveLockLimitsAreCountedNotReported)
{
    const struct {
        const char* what;
        ULONG minutes;
        ULONG watermark;
        int holders;
        sim::Ticks held;
        uint64_t long_holds;
        uint64_t over_watermark;
    } cases[] = {
        {"at both limits", 1, 5, 5, sim::Seconds(60), 0, 0},
        {"one past the watermark", 1, 5, 6, sim::Seconds(1), 0, 1},
        {"two past the watermark", 1, 5, 7, sim::Seconds(1), 0, 2},
        {"held past the minute", 1, 5, 2, sim::Seconds(61), 2, 0},
        {"held past three minutes", 3, 5, 1, sim::Seconds(181), 1, 0},
        {"no limits", 0, 0, 8, sim::Seconds(600), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLockEx(&lock, 0x54534554, c.minutes, c.watermark, sizeof lock);
        const sim::RemoveLockLimits before = io().RemoveLockLimitsSeen();
        int tags[8];
        for (int i = 0; i < c.holders; i++) {
            ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[i]), STATUS_SUCCESS);
        }
        sim::Sleep(c.held);
        for (bool released : {false, true}) {
            const sim::RemoveLockLimits seen = io().RemoveLockLimitsSeen();
            EXPECT_EQ(seen.long_holds - before.long_holds, c.long_holds) << released;
            EXPECT_EQ(seen.over_watermark - before.over_watermark, c.over_watermark) << released;
            for (int i = 0; !released && i < c.holders; i++) {
                IoReleaseRemoveLock(&lock, &tags[i]);
            }
        }
        EXPECT_TRUE(TakeReports().empty());
    }
}

TEST_F(IoManagerTest, NamesCollide)
{
    PDEVICE_OBJECT device = Device({}, nullptr, u"\\Device\\QUAVDev");
    UNICODE_STRING same, link, dos, target;
    RtlInitUnicodeString(&same, u"\\Device\\quavdev");
    RtlInitUnicodeString(&link, u"\\DosDevices\\QUAVDSL");
    RtlInitUnicodeString(&dos, u"\\??\\QUAVDSL");
    RtlInitUnicodeString(&target, u"\\Device\\QUAVDev");
    PDEVICE_OBJECT other = nullptr;
    EXPECT_EQ(IoCreateDevice(device->DriverObject, 0, &same, 0x22, 0, FALSE, &other),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(io().Devices(device->DriverObject).size(), 1u);

    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&dos, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&dos), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoManagerTest, DeletingAnAttachedOrDeletedDeviceIsReported)
{
    PDEVICE_OBJECT bottom = Device({}, nullptr);
    PDEVICE_OBJECT middle = Device({}, nullptr);
    PDEVICE_OBJECT top = Device({}, nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle); // onto the stack's top
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(io().AttachedTop(bottom), top);

    IoDeleteDevice(middle);
    EXPECT_TRUE(ReportedBy("io", {"still attached to", "is attached to it"}));
    IoDeleteDevice(middle);
    EXPECT_TRUE(OneReportContaining("deleted twice"));

    IoAttachDeviceToDeviceStack(top, bottom);
    IoDetachDevice(bottom);
    EXPECT_EQ(bottom->AttachedDevice, nullptr);
    IoDeleteDevice(top);
    IoDeleteDevice(bottom);

    // A remove lock in the extension still held: a request would go on using freed memory.
    PDEVICE_OBJECT held = nullptr;
    ASSERT_EQ(io().CreateDevice(io().CreateDriverObject("Held"), sizeof(IO_REMOVE_LOCK), u"", 0x22, 0, false,
                                &held),
              STATUS_SUCCESS);
    auto* lock = static_cast<PIO_REMOVE_LOCK>(held->DeviceExtension);
    IoInitializeRemoveLock(lock, 0x54534554, 0, 0);
    ASSERT_EQ(IoAcquireRemoveLock(lock, held), STATUS_SUCCESS);
    EXPECT_TRUE(TakeReports().empty());
    IoDeleteDevice(held);
    EXPECT_TRUE(OneReportContaining("still uses the device being freed"));
}

TEST_F(IoManagerTest, LoadedDriverGetsTheDefaultRoutineAndMustDeleteItsDevicesBeforeUnload)
{
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) NTAPI {
        driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { g.unloaded = true; };
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\Plain");
        PDEVICE_OBJECT device;
        return IoCreateDevice(driver, 0, &name, 0x22, 0, FALSE, &device);
    };
    NTSTATUS status;
    PDRIVER_OBJECT driver = io().LoadDriver("Plain", entry, u"\\REGISTRY\\Machine\\x", &status);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(io().Devices(driver).size(), 1u);
    EXPECT_EQ(io().Devices(driver)[0]->Flags & DO_DEVICE_INITIALIZING, 0u);

    sim::UserClient user(false);
    EXPECT_EQ(Open(user, u"\\Device\\Plain"), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Open(user, u"\\Device\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);

    io().UnloadDriver(driver);
    EXPECT_TRUE(OneReportContaining("unloaded with device objects left: \\Device\\Plain"));
    EXPECT_TRUE(g.unloaded);
}

TEST_F(IoManagerTest, BufferedControlCopiesInAndAtMostTheOutputBufferOut)
{
    PDEVICE_OBJECT device = Device({IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}, Succeed, u"\\Device\\Fill");
    device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Fill;
    sim::UserClient user(false);
    HANDLE handle;
    ASSERT_EQ(user.Open(u"\\Device\\Fill", &handle), STATUS_SUCCESS);
    const UCHAR in[3] = {1, 2, 3};
    UCHAR out[8];
    ULONG returned;
    auto control = [&](ULONG function) {
        std::memset(out, 0xEE, sizeof out);
        return user.DeviceIoControl(handle, CTL_CODE(0x8000, function, METHOD_BUFFERED, FILE_ANY_ACCESS), in,
                                    sizeof in, out, 4, &returned);
    };
    EXPECT_EQ(control(2), STATUS_SUCCESS);
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(std::memcmp(out, "\x06\x07\xEE\xEE", 4), 0);

    EXPECT_EQ(control(6), STATUS_SUCCESS); // claims more than the caller's buffer holds
    EXPECT_TRUE(OneReportContaining("Information 6, more than its 4-byte output buffer"));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::memcmp(out, "\x06\x07\x08\x09\xEE\xEE\xEE\xEE", 8), 0);

    EXPECT_EQ(control(0xFFF), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(user.Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(user.Close(handle), STATUS_INVALID_HANDLE);
}

struct SecurityCase {
    std::string_view sddl;
    ULONG characteristics;
    // The outcome of opening the device and a name below it, for an ordinary user and an administrator.
    NTSTATUS user, user_below, admin, admin_below;
};

TEST_F(IoManagerTest, DeviceSecurityDecidesWhoOpensTheDeviceAndTheNamesBelowIt)
{
    constexpr NTSTATUS ok = STATUS_SUCCESS, denied = STATUS_ACCESS_DENIED;
    const SecurityCase cases[] = {
        // What quav.inf installs.
        {sim::kPackageDeviceSecurity, sim::kPackageDeviceCharacteristics, denied, denied, ok, ok},
        // Without FILE_DEVICE_SECURE_OPEN a trailing name slips past the device's security.
        {sim::kPackageDeviceSecurity, 0, denied, ok, ok, ok},
        {"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)", FILE_DEVICE_SECURE_OPEN, ok, ok, ok, ok},
        // The first entry naming a group of the caller decides: administrators are users too.
        {"D:(D;;GA;;;BU)(A;;GA;;;WD)", FILE_DEVICE_SECURE_OPEN, denied, denied, denied, denied},
        {"D:(A;;GA;;;WD)(D;;GA;;;BU)", FILE_DEVICE_SECURE_OPEN, ok, ok, ok, ok},
        {"D:P", FILE_DEVICE_SECURE_OPEN, denied, denied, denied, denied}, // an empty DACL
        {"", FILE_DEVICE_SECURE_OPEN, ok, ok, ok, ok},                    // no DACL
    };
    sim::UserClient user(false);
    sim::UserClient admin(true);
    int n = 0;
    for (const SecurityCase& c : cases) {
        SCOPED_TRACE(std::string(c.sddl) + (c.characteristics ? ", secure open" : ""));
        const std::u16string name = u"\\Device\\Secured" + std::u16string(1, u'A' + n++);
        PDEVICE_OBJECT device = Device({IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}, Succeed, name);
        io().ApplyDeviceSecurity(device, c.sddl, c.characteristics);
        const int creates = g.creates;
        EXPECT_EQ(Open(user, name.c_str()), c.user);
        EXPECT_EQ(Open(user, (name + u"\\x").c_str()), c.user_below);
        EXPECT_EQ(Open(admin, name.c_str()), c.admin);
        EXPECT_EQ(Open(admin, (name + u"\\x").c_str()), c.admin_below);
        // A refused open never reaches the driver.
        const int allowed = (c.user == ok) + (c.user_below == ok) + (c.admin == ok) + (c.admin_below == ok);
        EXPECT_EQ(g.creates - creates, allowed);
    }
}

TEST(DeviceSecurity, RefusesWhatItCannotRead)
{
    for (const char* bad : {"O:BAD:P(A;;GA;;;SY)", "D:X(A;;GA;;;SY)", "D:P(A;;GA;;;XX)", "D:P(A;;GA;;SY)",
                            "D:P(A;;GA;;;SY", "D:P(U;;GA;;;SY)", "D:P(A;;;;;SY)", "D:PA;;GA;;;SY)"}) {
        EXPECT_THROW(sim::ParseDeviceSecurity(bad), std::invalid_argument) << bad;
    }
}

} // namespace
