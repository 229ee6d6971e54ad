// The I/O manager's requests (IRPs): allocation, the trip down a device stack and back up through the
// completion routines, and the checks on what dispatch routines return.
#include "format.h"
#include "iomanager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "iomanager_records.h"
#include "scheduler.h"
#include "verifier.h"

namespace sim {
namespace {

const char* MajorName(UCHAR major)
{
    switch (major) {
        case IRP_MJ_CREATE:
            return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE:
            return "IRP_MJ_CLOSE";
        case IRP_MJ_READ:
            return "IRP_MJ_READ";
        case IRP_MJ_WRITE:
            return "IRP_MJ_WRITE";
        case IRP_MJ_DEVICE_CONTROL:
            return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_CLEANUP:
            return "IRP_MJ_CLEANUP";
        case IRP_MJ_POWER:
            return "IRP_MJ_POWER";
        case IRP_MJ_SYSTEM_CONTROL:
            return "IRP_MJ_SYSTEM_CONTROL";
        case IRP_MJ_PNP:
            return "IRP_MJ_PNP";
        default:
            return "IRP_MJ_?";
    }
} // namespace

} // namespace

PIRP IoManager::AllocateIrp(CCHAR stack_size)
{
    const size_t bytes =
        sizeof(IRP) + static_cast<size_t>(std::max<int>(stack_size, 0)) * sizeof(IO_STACK_LOCATION);
    void* storage = ::operator new(bytes);
    std::memset(storage, 0, bytes);
    auto* irp = static_cast<PIRP>(storage);
    irp->Type = kTypeIrp;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;

    std::lock_guard lk(mu_);
    IrpRecord* r;
    if (free_irp_records_.empty()) {
        irp_records_.push_back(std::make_unique<IrpRecord>());
        r = irp_records_.back().get();
        scheduler_.InitObject(&r->done.Header, EventNotificationObject, 0);
    } else {
        r = free_irp_records_.back();
        free_irp_records_.pop_back();
    }
    r->storage = storage;
    r->completed = false;
    r->power.clear();
    irps_[irp] = r;
    return irp;
}

void IoManager::FreeIrp(PIRP irp)
{
    std::lock_guard lk(mu_);
    auto it = irps_.find(irp);
    if (it == irps_.end()) {
        Report("FreeIrp of " + Pointer(irp) + ", which is not an allocated IRP");
        return;
    }
    ::operator delete(it->second->storage);
    it->second->storage = nullptr;
    free_irp_records_.push_back(it->second);
    irps_.erase(it);
}

IoManager::IrpRecord* IoManager::RequireIrp(PIRP irp, const char* operation) const
{
    std::lock_guard lk(mu_);
    auto it = irps_.find(irp);
    if (it == irps_.end()) {
        Fatal(std::string(operation) + " with " + Pointer(irp) +
              ", which is not an IRP the I/O manager allocated");
    }
    return it->second;
}

// "IRP 0x.. IRP_MJ_PNP/0x02 to \Device\QUAVDev": what a sender waits on, in reports.
std::string IoManager::Label(PIRP irp, PDEVICE_OBJECT top) const
{
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    char minor[8];
    std::snprintf(minor, sizeof minor, "/0x%02X", next->MinorFunction);
    return "IRP " + Pointer(irp) + " " + MajorName(next->MajorFunction) + minor + " to " + Name(top);
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp, bool po_call)
{
    const char* routine = po_call ? "PoCallDriver" : "IofCallDriver";
    IrpRecord* r = RequireIrp(irp, routine);
    if (irp->CurrentLocation <= 1) {
        Fatal(std::string(routine) + " of IRP " + Pointer(irp) + " to " + Name(device) +
              ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    }
    const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        Fatal(std::string(routine) + " of IRP " + Pointer(irp) + " with major function " +
              std::to_string(major));
    }
    if (major == IRP_MJ_POWER) {
        return CallPowerDriver(device, irp, r, po_call);
    }
    return Dispatch(device, irp);
}

// Gives the request to the device's driver: its stack location becomes current.
NTSTATUS IoManager::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    AdvanceTo(device, irp);
    return device->DriverObject->MajorFunction[IoGetCurrentIrpStackLocation(irp)->MajorFunction](device, irp);
}

// Walks the request up its stack as the kernel does: each location's completion routine runs in the
// context of the location above it (no device at the top); a routine that returns
// STATUS_MORE_PROCESSING_REQUIRED keeps the request, and will complete it again.
void IoManager::CompleteRequest(PIRP irp)
{
    IrpRecord* r = nullptr;
    {
        std::lock_guard lk(mu_);
        auto it = irps_.find(irp);
        if (it == irps_.end()) {
            Report("IofCompleteRequest of " + Pointer(irp) +
                   ", which is not an allocated IRP (freed already?)");
            return;
        }
        r = it->second;
        if (r->completed) {
            Report("IRP " + Pointer(irp) + " completed twice: it was already back with its sender");
            return;
        }
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Report("IRP " + Pointer(irp) + " completed with STATUS_PENDING, which is not a final status");
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        LeavePowerLocation(irp, r);
        const PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        const bool at_top = irp->CurrentLocation > irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device = at_top ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (stack->CompletionRoutine(device, irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;
            }
        } else if (irp->PendingReturned && !at_top) {
            IoMarkIrpPending(irp); // no routine to pass the mark up: the kernel does it
        }
    }
    {
        std::lock_guard lk(mu_);
        r->completed = true;
    }
    scheduler_.SetEvent(&r->done);
    scheduler_.PreemptionPoint();
}

NTSTATUS IoManager::Send(PDEVICE_OBJECT top, PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "Send");
    const std::string label = Label(irp, top);
    scheduler_.NameObject(&r->done, label);
    scheduler_.ResetEvent(&r->done);
    {
        std::lock_guard lk(mu_); // a new trip for a request sent before
        r->completed = false;
        r->power.clear();
    }
    const NTSTATUS returned = CallDriver(top, irp, true);
    if (returned == STATUS_PENDING) {
        scheduler_.Wait(&r->done.Header, Executive, nullptr);
        if (!irp->PendingReturned) {
            Report(label + ": the driver returned STATUS_PENDING without marking the IRP pending "
                           "(IoMarkIrpPending); the sender would never learn it completed");
        }
        return irp->IoStatus.Status;
    }
    bool completed;
    {
        std::lock_guard lk(mu_);
        completed = r->completed;
    }
    if (!completed) {
        Report(label + ": the driver returned " + Hex32(returned) + " without completing the IRP");
        scheduler_.Wait(&r->done.Header, Executive, nullptr); // it may still: the sender must not free it
    } else if (returned != irp->IoStatus.Status) {
        Report(label + ": the driver returned " + Hex32(returned) + " but completed the IRP with " +
               Hex32(irp->IoStatus.Status));
    }
    return irp->IoStatus.Status;
}

} // namespace sim
