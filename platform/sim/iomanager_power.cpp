// Power requests as the Windows Server 2003 power manager delivers them. PoCallDriver lets one
// system-power and one device-power request (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER) be active at each
// device object; a further one of the same kind sent to that device waits, marked pending, until the
// active one's driver calls PoStartNextPowerIrp, and is then given to the device's driver on a worker
// thread (as the power manager does for drivers that are DO_POWER_PAGABLE). Wait-wake and power-sequence
// requests are never held back.
//
// A driver must call PoStartNextPowerIrp while its own stack location is current: in its dispatch
// routine before it passes the request down without a completion routine of its own, or completes it;
// otherwise in the completion routine it set. The power manager of that system does not end the hold when
// the request completes: a driver that never calls it leaves every later request of that kind waiting at
// its device, and the next sleep or wake hangs. Reported here when it happens (the pass-down, the
// completion), and so is a power request passed with IoCallDriver, which the power manager never sees.
// After the report the platform ends the hold itself, so that one fault makes one report, not a hang.
#include "format.h"
#include "iomanager.h"

#include "entry.h"
#include "iomanager_records.h"
#include "scheduler.h"

namespace sim {
namespace {

bool HeldBack(UCHAR minor)
{
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

const char* KindName(int kind)
{
    return kind == 0 ? "system" : "device";
}

// "IRP 0x.. IRP_MJ_POWER/0x02"
std::string PowerLabel(PIRP irp, const IO_STACK_LOCATION* stack)
{
    return "IRP " + Pointer(irp) + Format(" IRP_MJ_POWER/0x%02X", stack->MinorFunction);
}

// The stack location numbered `location` (the IRP's CurrentLocation when it is current).
const IO_STACK_LOCATION* Location(PIRP irp, CHAR location)
{
    return reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1) + (location - 1);
}

// The holder whose driver has the request now: the last one it reached that is not done with it.
PowerHolder* InHand(std::vector<PowerHolder>& holders)
{
    for (auto it = holders.rbegin(); it != holders.rend(); ++it) {
        if (it->state != PowerHolder::State::Done) {
            return &*it;
        }
    }
    return nullptr;
}

} // namespace

NTSTATUS IoManager::CallPowerDriver(PDEVICE_OBJECT device, PIRP irp, IrpRecord* r, bool po_call)
{
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    const int kind = !HeldBack(next->MinorFunction)                    ? PowerHolder::kNotHeld
                     : next->Parameters.Power.Type == SystemPowerState ? 0
                                                                       : 1;
    Handoff freed;
    bool wait = false;
    {
        std::lock_guard lk(mu_);
        if (!po_call) {
            const PowerHolder* passer = InHand(r->power);
            Report((passer != nullptr ? NameLocked(passer->device) + " passed " : std::string()) +
                   PowerLabel(irp, next) + (passer != nullptr ? " to " : " sent to ") + NameLocked(device) +
                   " with IoCallDriver: power requests go through PoCallDriver, or the power manager cannot "
                   "hold back the next one");
        }
        freed = PassDownLocked(device, irp, r);
        r->power.push_back(PowerHolder{device, static_cast<CHAR>(irp->CurrentLocation - 1), kind});
        auto it = devices_.find(device);
        if (kind != PowerHolder::kNotHeld && it != devices_.end()) {
            PowerSlot& slot = it->second->power[kind];
            wait = slot.active != nullptr;
            if (wait) {
                AdvanceTo(device, irp); // before the lock goes: the request may be handed on at once
                IoMarkIrpPending(irp);
                slot.waiting.push_back(irp);
            } else {
                slot.active = irp;
            }
        }
    }
    Hand(freed);
    return wait ? STATUS_PENDING : Dispatch(device, irp);
}

// The driver that has the request passes it down. Unless it keeps its stack location with a completion
// routine there, this is its last sight of the request: it must have called PoStartNextPowerIrp.
IoManager::Handoff IoManager::PassDownLocked(PDEVICE_OBJECT device, PIRP irp, IrpRecord* r)
{
    PowerHolder* passer = InHand(r->power);
    if (passer == nullptr) {
        return {}; // the power manager sends it
    }
    if (irp->CurrentLocation == passer->location &&
        IoGetNextIrpStackLocation(irp)->CompletionRoutine != nullptr) {
        passer->state = PowerHolder::State::Below;
        return {};
    }
    passer->state = PowerHolder::State::Done;
    if (passer->started || passer->kind == PowerHolder::kNotHeld) {
        return {};
    }
    Report(NameLocked(passer->device) + " passed " + PowerLabel(irp, IoGetNextIrpStackLocation(irp)) +
           " down to " + NameLocked(device) +
           " without calling PoStartNextPowerIrp first: the power manager would never send it another " +
           KindName(passer->kind) + " power request");
    passer->started = true;
    return ReleaseLocked(*passer, irp);
}

void IoManager::LeavePowerLocation(PIRP irp, IrpRecord* r)
{
    std::vector<Handoff> freed;
    {
        std::lock_guard lk(mu_);
        for (PowerHolder& h : r->power) {
            if (h.location != irp->CurrentLocation || h.state == PowerHolder::State::Done) {
                continue;
            }
            h.state = PowerHolder::State::Done;
            if (!h.started && h.kind != PowerHolder::kNotHeld) {
                Report(PowerLabel(irp, IoGetCurrentIrpStackLocation(irp)) + " completed at " +
                       NameLocked(h.device) +
                       " before its driver called PoStartNextPowerIrp: the power manager would never send it "
                       "another " +
                       KindName(h.kind) + " power request");
                h.started = true;
                freed.push_back(ReleaseLocked(h, irp));
            }
        }
    }
    for (const Handoff& f : freed) {
        Hand(f);
    }
}

// Ends the request's hold on the holder's device; the next request waiting there, if any, takes it.
IoManager::Handoff IoManager::ReleaseLocked(const PowerHolder& holder, PIRP irp)
{
    auto it = devices_.find(holder.device);
    if (it == devices_.end() || holder.kind == PowerHolder::kNotHeld) {
        return {};
    }
    PowerSlot& slot = it->second->power[holder.kind];
    if (slot.active != irp) {
        return {};
    }
    slot.active = nullptr;
    if (slot.waiting.empty()) {
        return {};
    }
    slot.active = slot.waiting.front();
    slot.waiting.pop_front();
    return {holder.device, slot.active};
}

void IoManager::Hand(Handoff handoff)
{
    if (handoff.irp == nullptr) {
        return;
    }
    scheduler_.Start("power manager: " + PowerLabel(handoff.irp, IoGetCurrentIrpStackLocation(handoff.irp)) +
                         " to " + Name(handoff.device),
                     [handoff] {
                         // Pending since PoCallDriver returned: what the driver returns now goes nowhere.
                         const DriverCall call;
                         handoff.device->DriverObject->MajorFunction[IRP_MJ_POWER](handoff.device,
                                                                                   handoff.irp);
                     });
}

// The device whose stack location is current lets the power manager send it the next request of this
// kind. Called after IoSkipCurrentIrpStackLocation, it frees the device above instead.
void IoManager::StartNextPowerIrp(PIRP irp)
{
    IrpRecord* r = RequireIrp(irp, "PoStartNextPowerIrp");
    if (ReportIfDead(irp, "PoStartNextPowerIrp")) {
        return;
    }
    Handoff freed;
    {
        std::lock_guard lk(mu_);
        if (irp->CurrentLocation > irp->StackCount) {
            const PowerHolder* h = InHand(r->power);
            Report(
                "PoStartNextPowerIrp for " +
                (h != nullptr ? PowerLabel(irp, Location(irp, h->location)) + " at " + NameLocked(h->device)
                              : "IRP " + Pointer(irp)) +
                " with no current stack location (after IoSkipCurrentIrpStackLocation?): it reads past the "
                "IRP");
            return;
        }
        const PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
        PowerHolder* holder = nullptr;
        for (PowerHolder& h : r->power) {
            if (h.device == current->DeviceObject && h.location == irp->CurrentLocation) {
                holder = &h;
            }
        }
        if (holder == nullptr || holder->kind == PowerHolder::kNotHeld) {
            return; // a request the power manager does not hold back
        }
        if (holder->started) {
            Report("PoStartNextPowerIrp for " + PowerLabel(irp, current) + " at " +
                   NameLocked(holder->device) +
                   ", which had called it already (or a lower driver calls it after "
                   "IoSkipCurrentIrpStackLocation): it could end the hold of the next request");
            return;
        }
        holder->started = true;
        freed = ReleaseLocked(*holder, irp);
    }
    Hand(freed);
}

} // namespace sim
