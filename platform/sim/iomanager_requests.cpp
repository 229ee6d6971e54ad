// The I/O manager's requests (IRPs): allocation, the trip down a device stack and back up through the
// completion routines, the checks on what dispatch routines return, and the end of an IRP's life at its
// final completion.
#include "format.h"
#include "iomanager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "entry.h"
#include "iomanager_records.h"
#include "scheduler.h"
#include "verifier.h"

namespace sim {
namespace {

// A dead IRP's bytes: a pointer read from it (0xDDDDDDDDDDDDDDDD) is not a canonical x86-64 address, so
// following it faults; its status reads 0xDDDDDDDD, its stack counts -35 and its type 0xDDDD.
constexpr int kDeadIrpByte = 0xDD;

// What a use of a dead IRP is told: on Windows its memory may already be someone else's.
constexpr const char* kAfterCompletion =
    " after its final completion: the IRP was back with its sender, which may have freed it";

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
    r->bytes = bytes;
    r->completed = false;
    r->power.clear();
    r->final = {};
    r->pending_returned = false;
    r->abandoned = false;
    r->sender_freed = false;
    r->duty.clear();
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
    if (it->second->abandoned && !it->second->completed) {
        it->second->sender_freed = true; // its driver still holds it: it goes when it is completed
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

std::optional<IO_STATUS_BLOCK> IoManager::FinalStatus(PIRP irp) const
{
    IrpRecord* r = RequireIrp(irp, "FinalStatus");
    std::lock_guard lk(mu_);
    if (!r->completed) {
        return std::nullopt;
    }
    return r->final;
}

bool IoManager::ReportIfDead(PIRP irp, const char* routine, NTSTATUS* final_status)
{
    {
        std::lock_guard lk(mu_);
        auto it = irps_.find(irp);
        if (it == irps_.end() || !it->second->completed) {
            return false;
        }
        if (final_status != nullptr) {
            *final_status = it->second->final.Status;
        }
    }
    Report(std::string(routine) + " of IRP " + Pointer(irp) + kAfterCompletion);
    return true;
}

void IoManager::NoteDuty(PIRP irp, std::string duty)
{
    std::lock_guard lk(mu_);
    if (auto it = irps_.find(irp); it != irps_.end()) {
        it->second->duty = std::move(duty);
    }
}

// A dead IRP is not passed on: the caller gets the status it completed with, and the report.
NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp, bool po_call)
{
    const char* routine = po_call ? "PoCallDriver" : "IofCallDriver";
    IrpRecord* r = RequireIrp(irp, routine);
    if (NTSTATUS final = 0; ReportIfDead(irp, routine, &final)) {
        return final;
    }
    if (irp->CurrentLocation <= 1) {
        Fatal(std::string(routine) + " of IRP " + Pointer(irp) + " to " + Name(device) +
              ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    }
    {
        std::lock_guard lk(mu_);
        r->duty.clear(); // another driver's now
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
    const DriverCall call;
    return device->DriverObject->MajorFunction[IoGetCurrentIrpStackLocation(irp)->MajorFunction](device, irp);
}

// Walks the request up its stack as the kernel does: each location's completion routine runs in the
// context of the location above it (no device at the top); a routine that returns
// STATUS_MORE_PROCESSING_REQUIRED keeps the request, and will complete it again. The walk that reaches
// the top is the final completion.
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
            Report("IofCompleteRequest of IRP " + Pointer(irp) +
                   ": completed after it was freed (its final completion had handed it back to its "
                   "sender, which may free it at once)");
            return;
        }
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        Report("IRP " + Pointer(irp) + " completed with STATUS_PENDING, which is not a final status");
    }
    if (WalkCompletion(irp, r)) {
        Retire(irp, r);
    }
}

// False when a completion routine took the request back.
bool IoManager::WalkCompletion(PIRP irp, IrpRecord* r)
{
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
            const DriverCall call;
            if (stack->CompletionRoutine(device, irp, stack->Context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return false;
            }
        } else if (irp->PendingReturned && !at_top) {
            IoMarkIrpPending(irp); // no routine to pass the mark up: the kernel does it
        }
    }
    return true;
}

// The final completion: the sender gets what it needs from the record, the IRP's bytes are poisoned so
// that a driver still reading them fails, and an abandoned request whose sender is gone is freed.
void IoManager::Retire(PIRP irp, IrpRecord* r)
{
    bool free_now;
    {
        std::lock_guard lk(mu_);
        r->completed = true;
        r->final = irp->IoStatus;
        r->pending_returned = irp->PendingReturned != FALSE;
        std::memset(irp, kDeadIrpByte, r->bytes);
        free_now = r->sender_freed;
    }
    scheduler_.SetEvent(&r->done);
    if (free_now) {
        FreeIrp(irp);
    }
    scheduler_.PreemptionPoint();
}

NTSTATUS IoManager::Send(PDEVICE_OBJECT top, PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "Send");
    bool sent_before;
    {
        std::lock_guard lk(mu_);
        sent_before = r->completed || r->abandoned;
    }
    if (sent_before) {
        Fatal("Send of IRP " + Pointer(irp) + ", which was sent before: a request is sent once");
    }
    const std::string label = Label(irp, top);
    scheduler_.NameObject(&r->done, label);
    scheduler_.ResetEvent(&r->done);
    {
        std::lock_guard lk(mu_);
        r->power.clear();
    }
    const NTSTATUS returned = CallDriver(top, irp, true);
    if (returned == STATUS_PENDING) {
        scheduler_.Wait(&r->done.Header, Executive, nullptr);
        bool marked;
        {
            std::lock_guard lk(mu_);
            marked = r->pending_returned;
        }
        if (!marked) {
            Report(label + ": the driver returned STATUS_PENDING without marking the IRP pending "
                           "(IoMarkIrpPending); the sender would never learn it completed");
        }
        return FinalStatus(irp)->Status;
    }
    bool completed;
    NTSTATUS final;
    std::string duty;
    {
        std::lock_guard lk(mu_);
        completed = r->completed;
        final = r->final.Status;
        duty = r->duty;
        r->abandoned = !completed;
    }
    if (!completed) {
        // On Windows the sender would wait for it forever; here it goes on, so that the test can.
        Report(label + ": the driver returned " + Hex32(returned) +
               " without completing the IRP or returning STATUS_PENDING" + (duty.empty() ? "" : "; " + duty) +
               ". The request is abandoned");
        return returned;
    }
    if (returned != final) {
        Report(label + ": the driver returned " + Hex32(returned) + " but completed the IRP with " +
               Hex32(final));
    }
    return final;
}

} // namespace sim
