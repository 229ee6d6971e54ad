// The x86 layouts at work: a driver compiled against the DDK's headers reaches the kernel's objects only
// through byte offsets. The routines here do the same, so they see what a loaded quav.sys would see: the
// platform must put every field where the DDK says, and must not write past what the driver allocated.
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/text.h"
#include "sim/user.h"
#include "small_driver.h"

namespace {

// Offsets of the x86 DDK (wdm.h), as the compiler of a kernel image resolves them.
constexpr size_t kIrpSize = 112;
constexpr size_t kIrpSystemBuffer = 12;
constexpr size_t kIrpStatus = 24;
constexpr size_t kIrpInformation = 28;
constexpr size_t kIrpStackCount = 34;
constexpr size_t kIrpCurrentLocation = 35;
constexpr size_t kIrpCurrentStack = 96;
constexpr size_t kStackSize = 36;
constexpr size_t kStackControl = 3;
constexpr size_t kStackOutputLength = 4;
constexpr size_t kStackInputLength = 8;
constexpr size_t kStackIoControlCode = 12;
constexpr size_t kStackDeviceObject = 20;
constexpr size_t kStackFileObject = 24;
constexpr size_t kStackCompletionRoutine = 28;
constexpr size_t kStackContext = 32;
constexpr size_t kFileFileName = 48;
constexpr size_t kRemoveLockSize = 24;
constexpr size_t kRemoveLockIoCount = 4;

constexpr ULONG kCode = CTL_CODE(0x22, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

template <typename T>
T At(const void* base, size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

template <typename T>
void Put(void* base, size_t offset, T value)
{
    std::memcpy(static_cast<char*>(base) + offset, &value, sizeof value);
}

// What the offset-only routines read, by name.
std::map<std::string, uint64_t> g_seen;
std::u16string g_file_name;

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG information)
{
    Put<LONG>(irp, kIrpStatus, status);
    Put<ULONG>(irp, kIrpInformation, information);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Notes where the current stack location is, relative to the request and its location number.
const char* Stack(PDEVICE_OBJECT device, PIRP irp, const std::string& what)
{
    const auto* stack = At<const char*>(irp, kIrpCurrentStack);
    const auto location = At<CHAR>(irp, kIrpCurrentLocation);
    const char* expected = reinterpret_cast<const char*>(irp) + kIrpSize + (location - 1) * kStackSize;
    g_seen[what + " stack location at IRP+112+(CurrentLocation-1)*36"] = stack == expected;
    g_seen[what + " CurrentLocation is the top device's, StackCount"] =
        location == At<CHAR>(irp, kIrpStackCount);
    g_seen[what + " DeviceObject of the stack location"] =
        At<PDEVICE_OBJECT>(stack, kStackDeviceObject) == device;
    return stack;
}

NTSTATUS NTAPI Create(PDEVICE_OBJECT device, PIRP irp)
{
    const char* stack = Stack(device, irp, "create:");
    g_seen["create: major function"] = At<UCHAR>(stack, 0);
    const auto* file = At<const char*>(stack, kStackFileObject);
    const auto name = At<UNICODE_STRING>(file, kFileFileName);
    g_file_name.assign(name.Buffer, name.Length / sizeof(WCHAR));
    return Finish(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp)
{
    const char* stack = Stack(device, irp, "control:");
    g_seen["control: major function"] = At<UCHAR>(stack, 0);
    g_seen["control: IoControlCode"] = At<ULONG>(stack, kStackIoControlCode);
    g_seen["control: InputBufferLength"] = At<ULONG>(stack, kStackInputLength);
    g_seen["control: OutputBufferLength"] = At<ULONG>(stack, kStackOutputLength);
    auto* buffer = At<ULONG*>(irp, kIrpSystemBuffer);
    g_seen["control: the input in SystemBuffer"] = buffer[0];
    buffer[0] = ~buffer[0];
    return Finish(irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp)
{
    return Finish(irp, STATUS_SUCCESS, 0);
}

class X86LayoutTest : public SmallDriverTest {};

// A file opened and a device control sent through the small driver's stack, answered by routines that
// know only the DDK's offsets.
TEST_F(X86LayoutTest, ARequestIsWhereTheDdkSaysForADriverThatKnowsOnlyOffsets)
{
    g_seen.clear();
    driver_->MajorFunction[IRP_MJ_CREATE] = Create;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    driver_->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver_->MajorFunction[IRP_MJ_CLOSE] = Succeed;
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_EQ(pnp().Start(pdo), STATUS_SUCCESS);

    sim::UserClient user(true);
    HANDLE handle = nullptr;
    ASSERT_EQ(user.Open(sim::Utf16FromUtf8(machine_.io().Name(pdo)) + u"\\x", &handle), STATUS_SUCCESS);
    ULONG value = 0x12345678;
    ULONG returned = 0;
    ASSERT_EQ(user.DeviceIoControl(handle, kCode, &value, sizeof value, &value, sizeof value, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(user.Close(handle), STATUS_SUCCESS);

    // What the driver wrote at IoStatus (IRP+24, +28) reached the sender.
    EXPECT_EQ(returned, sizeof(ULONG));
    EXPECT_EQ(value, ~0x12345678u);
    EXPECT_EQ(g_file_name, u"\\x"); // FILE_OBJECT+48
    const struct {
        const char* what;
        uint64_t expected;
    } kSeen[] = {
        {"create: major function", IRP_MJ_CREATE},
        {"create: stack location at IRP+112+(CurrentLocation-1)*36", 1},
        {"create: CurrentLocation is the top device's, StackCount", 1},
        {"create: DeviceObject of the stack location", 1},
        {"control: major function", IRP_MJ_DEVICE_CONTROL},
        {"control: stack location at IRP+112+(CurrentLocation-1)*36", 1},
        {"control: CurrentLocation is the top device's, StackCount", 1},
        {"control: DeviceObject of the stack location", 1},
        {"control: IoControlCode", kCode},
        {"control: InputBufferLength", sizeof(ULONG)},
        {"control: OutputBufferLength", sizeof(ULONG)},
        {"control: the input in SystemBuffer", 0x12345678},
    };
    for (const auto& s : kSeen) {
        ASSERT_TRUE(g_seen.count(s.what)) << s.what;
        EXPECT_EQ(g_seen[s.what], s.expected) << s.what;
    }
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
}

NTSTATUS NTAPI Nothing(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}

// The bytes of a request (with its two stack locations) that changed between two copies.
std::set<size_t> Changed(const std::vector<char>& before, PIRP irp)
{
    std::set<size_t> changed;
    for (size_t i = 0; i < before.size(); i++) {
        if (before[i] != reinterpret_cast<const char*>(irp)[i]) {
            changed.insert(i);
        }
    }
    return changed;
}

std::set<size_t> Range(size_t from, size_t count)
{
    std::set<size_t> bytes;
    for (size_t i = from; i < from + count; i++) {
        bytes.insert(i);
    }
    return bytes;
}

// The driver's inline stack-location routines are compiled into the driver: in quav.sys the DDK's,
// here the platform's. Both must write exactly the same bytes of the request.
TEST_F(X86LayoutTest, TheInlineStackRoutinesWriteTheBytesTheDdksDo)
{
    const size_t second = kIrpSize + kStackSize; // the second (current) location; the next is the first
    const size_t first = kIrpSize;
    auto with = [](std::set<size_t> bytes, size_t byte) {
        bytes.insert(byte);
        return bytes;
    };
    const struct {
        const char* what;
        void (*apply)(PIRP);
        std::set<size_t> bytes; // that the routine writes
        std::set<size_t> may;   // that may change too: a pointer's carry
        int next_control;       // the next location's Control afterwards (-1: not the routine's)
    } kRoutines[] = {
        {"IoSkipCurrentIrpStackLocation",
         [](PIRP irp) { IoSkipCurrentIrpStackLocation(irp); },
         {kIrpCurrentLocation, kIrpCurrentStack},
         Range(kIrpCurrentStack + 1, 3),
         -1},
        {"IoMarkIrpPending", [](PIRP irp) { IoMarkIrpPending(irp); }, {second + kStackControl}, {}, -1},
        {"IoSetCompletionRoutine",
         [](PIRP irp) { IoSetCompletionRoutine(irp, Nothing, irp, TRUE, TRUE, TRUE); },
         with(Range(first + kStackCompletionRoutine, 8), first + kStackControl),
         {},
         SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL},
        {"IoCopyCurrentIrpStackLocationToNext",
         [](PIRP irp) { IoCopyCurrentIrpStackLocationToNext(irp); },
         Range(first, kStackCompletionRoutine),
         {},
         0}, // Control is cleared, not copied
    };
    for (const auto& r : kRoutines) {
        SCOPED_TRACE(r.what);
        // Twice, the next location first all zeros and then all ones: a byte a routine writes differs
        // from at least one of the two, whatever value it writes (a pointer may hold a zero byte).
        std::set<size_t> changed;
        for (const unsigned char fill : {0x00, 0xFF}) {
            PIRP irp = machine_.io().AllocateIrp(2);
            // The second location current, as when the top driver of two has it; every byte of the
            // current location set, so that a copy shows.
            Put<CHAR>(irp, kIrpCurrentLocation, 2);
            Put<char*>(irp, kIrpCurrentStack, reinterpret_cast<char*>(irp) + second);
            std::memset(reinterpret_cast<char*>(irp) + first, fill, kStackSize);
            std::memset(reinterpret_cast<char*>(irp) + second, 0x5A, kStackSize);
            std::vector<char> before(reinterpret_cast<char*>(irp),
                                     reinterpret_cast<char*>(irp) + second + kStackSize);
            r.apply(irp);
            changed.merge(Changed(before, irp));
            if (r.next_control >= 0) {
                EXPECT_EQ(reinterpret_cast<const UCHAR*>(irp)[first + kStackControl], r.next_control);
            }
            machine_.io().FreeIrp(irp);
        }
        for (size_t b : r.may) {
            changed.erase(b);
        }
        EXPECT_EQ(changed, r.bytes);
    }
}

// The driver allocates the free build's remove lock, 24 bytes: nothing the kernel does with it may write
// past them (a device extension's next field would be overwritten).
TEST_F(X86LayoutTest, RemoveLockRoutinesStayWithinTheFreeBuildsLock)
{
    static_assert(sizeof(IO_REMOVE_LOCK) == kRemoveLockSize);
    alignas(8) unsigned char memory[kRemoveLockSize + 16];
    std::memset(memory, 0xA5, sizeof memory);
    auto* lock = reinterpret_cast<PIO_REMOVE_LOCK>(memory);
    int tag = 0;
    const struct {
        const char* what;
        void (*apply)(PIO_REMOVE_LOCK, PVOID);
        LONG io_count; // at +4 afterwards: the lock's own bias and the holders
    } kSteps[] = {
        {"initialize", [](PIO_REMOVE_LOCK l, PVOID) { IoInitializeRemoveLock(l, 0x6B636F4C, 1, 1); }, 1},
        {"acquire", [](PIO_REMOVE_LOCK l, PVOID t) { EXPECT_EQ(IoAcquireRemoveLock(l, t), STATUS_SUCCESS); },
         2},
        {"acquire again past the watermark",
         [](PIO_REMOVE_LOCK l, PVOID t) { EXPECT_EQ(IoAcquireRemoveLock(l, t), STATUS_SUCCESS); }, 3},
        {"release", [](PIO_REMOVE_LOCK l, PVOID t) { IoReleaseRemoveLock(l, t); }, 2},
        {"release and wait", [](PIO_REMOVE_LOCK l, PVOID t) { IoReleaseRemoveLockAndWait(l, t); }, 0},
    };
    for (const auto& s : kSteps) {
        SCOPED_TRACE(s.what);
        s.apply(lock, &tag);
        EXPECT_EQ(At<LONG>(memory, kRemoveLockIoCount), s.io_count);
        for (size_t i = kRemoveLockSize; i < sizeof memory; i++) {
            ASSERT_EQ(memory[i], 0xA5) << "byte " << i << " past the lock";
        }
    }
    // The watermark (1) lives beside the lock, not in it, and still counts.
    EXPECT_EQ(machine_.io().RemoveLockLimitsSeen().over_watermark, 1u);
}

} // namespace
