// A file's cleanup and close while requests on it are in flight. IRP_MJ_CLEANUP comes when the handle
// closes; IRP_MJ_CLOSE only when the file's last request has completed, from the thread that completed
// it. The small driver gets per-file routines written here: its close frees per-file state (FsContext)
// that its device controls still use, which is safe only in that order.
#include <cstring>
#include <string>
#include <vector>

#include "sim/format.h"
#include "sim/text.h"
#include "sim/user.h"
#include "small_driver.h"

namespace {

constexpr ULONG kFileStateTag = 0x656C6946; // "File"
constexpr ULONG kLive = 0x4556494C;         // "LIVE"
constexpr ULONG kControl = CTL_CODE(0x22, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

// How the device control holds the request, and for how many milliseconds.
enum class Hold : ULONG { Pend, Keep, Block };
struct Order {
    Hold hold;
    ULONG ms;
};

struct FileState {
    ULONG magic;
};

struct Trace {
    std::vector<std::string> events;
    std::string closer; // the thread that sent IRP_MJ_CLOSE
    PFILE_OBJECT file = nullptr;
    PIRP kept = nullptr;
} g;

void Log(const std::string& event)
{
    g.events.push_back(event);
}

// The request's work, on the file's state as it is now.
NTSTATUS Finish(PIRP irp, ULONG ms)
{
    const auto* state = static_cast<FileState*>(IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext);
    Log("done " + std::to_string(ms) + (state != nullptr && state->magic == kLive ? "" : " on freed state"));
    return small_driver::Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI Create(PDEVICE_OBJECT, PIRP irp)
{
    auto* state =
        static_cast<FileState*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FileState), kFileStateTag));
    state->magic = kLive;
    g.file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    g.file->FsContext = state;
    Log("create");
    return small_driver::Complete(irp, STATUS_SUCCESS);
}

// Completes the cleanup without cancelling anything it keeps for the file.
NTSTATUS NTAPI Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    Log("cleanup");
    return small_driver::Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI Close(PDEVICE_OBJECT, PIRP irp)
{
    const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* state = static_cast<FileState*>(file->FsContext);
    state->magic = 0;
    ExFreePoolWithTag(state, kFileStateTag);
    file->FsContext = nullptr;
    Log("close");
    g.closer = small_driver::ThreadName();
    return small_driver::Complete(irp, STATUS_SUCCESS);
}

// Pend: completed by the hardware `ms` later. Keep: pended and kept for ever. Block: the dispatch
// routine itself waits `ms` and completes.
NTSTATUS NTAPI Control(PDEVICE_OBJECT, PIRP irp)
{
    const Order order = *static_cast<Order*>(irp->AssociatedIrp.SystemBuffer);
    Log("control " + std::to_string(order.ms));
    switch (order.hold) {
        case Hold::Block:
            sim::Sleep(sim::Ms(order.ms));
            return Finish(irp, order.ms);
        case Hold::Keep:
            IoMarkIrpPending(irp);
            g.kept = irp;
            return STATUS_PENDING;
        case Hold::Pend:
            break;
    }
    IoMarkIrpPending(irp);
    sim::StartThread("hardware", [irp, order] {
        sim::Sleep(sim::Ms(order.ms));
        Finish(irp, order.ms);
    });
    return STATUS_PENDING;
}

class FilesTest : public SmallDriverTest {
protected:
    void SetUp() override
    {
        SmallDriverTest::SetUp();
        g = {};
        driver_->MajorFunction[IRP_MJ_CREATE] = Create;
        driver_->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
        driver_->MajorFunction[IRP_MJ_CLOSE] = Close;
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
    }

    // Opens the file "\x" inside the device named `device`.
    void Open(const std::string& device)
    {
        g = {};
        ASSERT_EQ(user_.Open(sim::Utf16FromUtf8(device) + u"\\x", &handle_), STATUS_SUCCESS);
    }

    // One client thread a request, each blocked in the driver by the time this returns.
    std::vector<PKTHREAD> Send(const std::vector<Order>& orders)
    {
        std::vector<PKTHREAD> clients;
        for (size_t i = 0; i < orders.size(); i++) {
            clients.push_back(sim::StartThread("client " + std::to_string(i), [this, order = orders[i]] {
                Order in = order;
                ULONG returned = 0;
                EXPECT_EQ(user_.DeviceIoControl(handle_, kControl, &in, sizeof in, nullptr, 0, &returned),
                          STATUS_SUCCESS);
            }));
            sim::Yield();
        }
        return clients;
    }

    sim::UserClient user_{true}; // the package lets administrators only open the device
    HANDLE handle_ = nullptr;
};

struct InFlight {
    const char* what;
    std::vector<Order> orders;
    std::vector<std::string> events; // after the create and the requests
    const char* closer;
};

InFlight Case(const char* what, std::vector<Order> orders, std::vector<std::string> events,
              const char* closer)
{
    return {what, std::move(orders), std::move(events), closer};
}

const InFlight kInFlight[] = {
    Case("nothing in flight: both at once", {}, {"cleanup", "close"}, "test"),
    Case("one request: close after it", {{Hold::Pend, 10}}, {"cleanup", "done 10", "close"}, "client 0"),
    Case("two requests: close after the one that ends last, though sent first",
         {{Hold::Pend, 20}, {Hold::Pend, 10}}, {"cleanup", "done 10", "done 20", "close"}, "client 0"),
    Case("two requests: close after the later one", {{Hold::Pend, 10}, {Hold::Pend, 20}},
         {"cleanup", "done 10", "done 20", "close"}, "client 1"),
    Case("a request blocked in its dispatch routine", {{Hold::Block, 10}}, {"cleanup", "done 10", "close"},
         "client 0"),
};

// Through the device node's stack: the file is opened on the physical device object's name and its
// requests go to the small driver's device on top.
TEST_F(FilesTest, CloseComesWhenTheLastRequestOnTheFileHasCompleted)
{
    PDEVICE_OBJECT pdo = AddNode();
    ASSERT_EQ(pnp().Start(pdo), STATUS_SUCCESS);
    for (const InFlight& c : kInFlight) {
        SCOPED_TRACE(c.what);
        Open(machine_.io().Name(pdo));
        const std::vector<PKTHREAD> clients = Send(c.orders);
        ASSERT_EQ(user_.Close(handle_), STATUS_SUCCESS);
        // The handle is gone: nothing more comes through it, though the file waits for its close.
        Order late{Hold::Pend, 1};
        EXPECT_EQ(machine_.io().DeviceControl(g.file, kControl, &late, sizeof late, nullptr, 0, nullptr),
                  STATUS_INVALID_HANDLE);
        EXPECT_EQ(machine_.io().CloseFile(g.file), STATUS_INVALID_HANDLE);
        for (PKTHREAD t : clients) {
            sim::JoinThread(t);
        }
        std::vector<std::string> events{"create"};
        for (const Order& o : c.orders) {
            events.push_back("control " + std::to_string(o.ms));
        }
        events.insert(events.end(), c.events.begin(), c.events.end());
        EXPECT_EQ(g.events, events);
        EXPECT_EQ(g.closer, c.closer);
        EXPECT_EQ(machine_.pool().Outstanding(kFileStateTag), 0u);
    }
    EXPECT_EQ(pnp().Remove(pdo), STATUS_SUCCESS);
}

// The driver's device is deleted after the handle's cleanup while a request on the file is still held.
// One the driver pended and keeps is reported, naming the file and the request: nothing would complete
// it, and the file's close would never come. One still in its dispatch routine is not: it ends by itself.
TEST_F(FilesTest, ADeviceDeletedWhileItKeepsAFilesRequestPendingIsReported)
{
    const struct {
        const char* what;
        Order order;
        bool reported;
    } cases[] = {
        {"pended and kept by the driver", {Hold::Keep, 0}, true},
        {"blocked in the dispatch routine", {Hold::Block, 10}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\SmallFiles");
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver_, 0, &name, 0x22, 0, FALSE, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        Open("\\Device\\SmallFiles");
        const std::vector<PKTHREAD> clients = Send({c.order});
        ASSERT_EQ(user_.Close(handle_), STATUS_SUCCESS);
        IoDeleteDevice(device);
        if (c.reported) {
            EXPECT_TRUE(ReportedBy(
                "io", {"IoDeleteDevice on \\Device\\SmallFiles while device control 0x00222000 "
                       "(IRP " +
                       sim::Pointer(g.kept) + ") on the file \\Device\\SmallFiles\\x is still pending"}));
            Finish(g.kept, 0); // so that the test can end
        }
        sim::JoinThread(clients[0]);
        // The close still comes, to the deleted device, once the request is done.
        const std::string done = "done " + std::to_string(c.order.ms);
        EXPECT_EQ(g.events, (std::vector<std::string>{"create", "control " + std::to_string(c.order.ms),
                                                      "cleanup", done, "close"}));
        EXPECT_EQ(g.closer, "client 0");
        EXPECT_EQ(machine_.pool().Outstanding(kFileStateTag), 0u);
    }
}

// What a device control's IRP carried into the driver.
struct Carried {
    void* system = nullptr;
    bool system_held_input = false;
    void* mdl = nullptr;
    void* user = nullptr;
    void* type3 = nullptr;
    ULONG in_size = 0;
    ULONG out_size = 0;
} carried;

constexpr uint8_t kInput[4] = {0x11, 0x22, 0x33, 0x44};

// Notes the buffers; a buffered request answers two bytes through the system buffer, a neither request
// through the caller's own output pointer. A direct request's MDL is left alone.
NTSTATUS NTAPI CaptureBuffers(PDEVICE_OBJECT, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto& p = stack->Parameters.DeviceIoControl;
    carried = {irp->AssociatedIrp.SystemBuffer,
               false,
               irp->MdlAddress,
               irp->UserBuffer,
               p.Type3InputBuffer,
               p.InputBufferLength,
               p.OutputBufferLength};
    auto* system = static_cast<uint8_t*>(carried.system);
    carried.system_held_input = system != nullptr && std::memcmp(system, kInput, sizeof kInput) == 0;
    const ULONG method = p.IoControlCode & 3;
    uint8_t* answer = method == METHOD_BUFFERED  ? system
                      : method == METHOD_NEITHER ? static_cast<uint8_t*>(irp->UserBuffer)
                                                 : nullptr;
    if (answer != nullptr) {
        answer[0] = 0xA5;
        answer[1] = 0x5A;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = answer != nullptr ? 2 : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The buffers reach the driver as the code's transfer method says, and nothing of them outlives the
// request.
TEST_F(FilesTest, DeviceControlBuffersFollowTheTransferMethod)
{
    const struct {
        const char* what;
        ULONG method;
        ULONG out_size;
        bool system; // a system buffer holding the input
        bool mdl;
        bool raw;       // the caller's pointers, untouched
        ULONG returned; // bytes the caller got back
    } cases[] = {
        {"buffered", METHOD_BUFFERED, 8, true, false, false, 2},
        {"in direct", METHOD_IN_DIRECT, 8, true, true, false, 0},
        {"out direct", METHOD_OUT_DIRECT, 8, true, true, false, 0},
        {"out direct, no output buffer", METHOD_OUT_DIRECT, 0, true, false, false, 0},
        {"neither", METHOD_NEITHER, 8, false, false, true, 2},
    };
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CaptureBuffers;
    Open(machine_.io().Name(AddNode()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t out[8] = {};
        ULONG returned = 0;
        const ULONG code = CTL_CODE(0x22, 0x801, c.method, FILE_ANY_ACCESS);
        ASSERT_EQ(user_.DeviceIoControl(handle_, code, kInput, sizeof kInput, out, c.out_size, &returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(carried.system != nullptr, c.system);
        EXPECT_EQ(carried.system_held_input, c.system);
        EXPECT_EQ(carried.mdl != nullptr, c.mdl);
        EXPECT_EQ(carried.type3, c.raw ? static_cast<const void*>(kInput) : nullptr);
        EXPECT_EQ(carried.user, static_cast<void*>(out)); // the caller's output pointer, whatever the method
        EXPECT_EQ(carried.in_size, sizeof kInput);
        EXPECT_EQ(carried.out_size, c.out_size);
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(out[0], c.returned != 0 ? 0xA5 : 0);
        EXPECT_EQ(machine_.pool().Outstanding(0x66427249), 0u); // "IrBf": no system buffer left
    }
    ASSERT_EQ(user_.Close(handle_), STATUS_SUCCESS);
}

} // namespace
