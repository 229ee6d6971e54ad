// The operations' IRQL rules and switch points, and the calling thread's IRQL.
#include "entry.h"

#include <array>
#include <string>

#include "machine.h"

namespace sim {
namespace {

// Callable at any IRQL: the simulation never raises above DISPATCH_LEVEL, so nothing is reported for these.
constexpr KIRQL kAnyLevel = 31;

constexpr SwitchPoint kEntry = SwitchPoint::AtEntries;

// The highest IRQL Windows documents for each operation. Passive-only operations touch pageable code or
// data, or may block (registry, object manager, device and link creation, thread creation, remove-lock
// drains); waits that may block need the dispatcher to switch threads, which it cannot above APC_LEVEL.
constexpr std::array<OperationRule, static_cast<size_t>(Op::Count)> kRules{{
    {Op::KeInitializeEvent, "KeInitializeEvent", kAnyLevel, kEntry},
    {Op::KeSetEvent, "KeSetEvent", DISPATCH_LEVEL, kEntry},
    {Op::KeInitializeMutex, "KeInitializeMutex", PASSIVE_LEVEL, kEntry},
    {Op::KeReleaseMutex, "KeReleaseMutex", DISPATCH_LEVEL, kEntry},
    {Op::KeInitializeSemaphore, "KeInitializeSemaphore", kAnyLevel, kEntry},
    {Op::KeReleaseSemaphore, "KeReleaseSemaphore", DISPATCH_LEVEL, kEntry},
    {Op::KeWaitForSingleObject, "KeWaitForSingleObject (a wait that may block)", APC_LEVEL, kEntry},
    {Op::KeWaitForSingleObjectPoll, "KeWaitForSingleObject (a zero timeout)", DISPATCH_LEVEL, kEntry},
    {Op::KeDelayExecutionThread, "KeDelayExecutionThread", APC_LEVEL, kEntry},
    {Op::ExAllocatePoolWithTag, "ExAllocatePoolWithTag", DISPATCH_LEVEL, kEntry},
    {Op::ExAllocatePagedPool, "ExAllocatePoolWithTag (paged pool)", APC_LEVEL, kEntry},
    {Op::ExFreePool, "ExFreePool", DISPATCH_LEVEL, kEntry},
    {Op::ExFreePagedPool, "ExFreePool (paged pool)", APC_LEVEL, kEntry},
    {Op::ReadPortUchar, "READ_PORT_UCHAR", kAnyLevel, SwitchPoint::Always},
    {Op::WritePortUchar, "WRITE_PORT_UCHAR", kAnyLevel, SwitchPoint::Always},
    {Op::ReadPortUlong, "READ_PORT_ULONG", kAnyLevel, SwitchPoint::Always},
    {Op::WritePortUlong, "WRITE_PORT_ULONG", kAnyLevel, SwitchPoint::Always},
    {Op::RtlInitUnicodeString, "RtlInitUnicodeString", DISPATCH_LEVEL, kEntry},
    {Op::RtlFreeUnicodeString, "RtlFreeUnicodeString", PASSIVE_LEVEL, kEntry},
    {Op::RtlQueryRegistryValues, "RtlQueryRegistryValues", PASSIVE_LEVEL, kEntry},
    {Op::RtlWriteRegistryValue, "RtlWriteRegistryValue", PASSIVE_LEVEL, kEntry},
    {Op::Swprintf, "swprintf", DISPATCH_LEVEL, kEntry},
    {Op::Wcslen, "wcslen", DISPATCH_LEVEL, kEntry},
    {Op::Wcscpy, "wcscpy", DISPATCH_LEVEL, kEntry},
    {Op::PsCreateSystemThread, "PsCreateSystemThread", PASSIVE_LEVEL, kEntry},
    {Op::PsTerminateSystemThread, "PsTerminateSystemThread", PASSIVE_LEVEL, kEntry},
    {Op::ObReferenceObjectByHandle, "ObReferenceObjectByHandle", PASSIVE_LEVEL, kEntry},
    {Op::ObfDereferenceObject, "ObfDereferenceObject", DISPATCH_LEVEL, kEntry},
    {Op::ZwClose, "ZwClose", PASSIVE_LEVEL, kEntry},
    {Op::IoAllocateErrorLogEntry, "IoAllocateErrorLogEntry", DISPATCH_LEVEL, kEntry},
    {Op::IoWriteErrorLogEntry, "IoWriteErrorLogEntry", DISPATCH_LEVEL, kEntry},
    {Op::IoCreateDevice, "IoCreateDevice", PASSIVE_LEVEL, kEntry},
    {Op::IoDeleteDevice, "IoDeleteDevice", PASSIVE_LEVEL, kEntry},
    {Op::IoCreateSymbolicLink, "IoCreateSymbolicLink", PASSIVE_LEVEL, kEntry},
    {Op::IoDeleteSymbolicLink, "IoDeleteSymbolicLink", PASSIVE_LEVEL, kEntry},
    {Op::IoRegisterDeviceInterface, "IoRegisterDeviceInterface", PASSIVE_LEVEL, kEntry},
    {Op::IoSetDeviceInterfaceState, "IoSetDeviceInterfaceState", PASSIVE_LEVEL, kEntry},
    {Op::IoAttachDeviceToDeviceStack, "IoAttachDeviceToDeviceStack", DISPATCH_LEVEL, kEntry},
    {Op::IoDetachDevice, "IoDetachDevice", PASSIVE_LEVEL, kEntry},
    {Op::IofCallDriver, "IofCallDriver", DISPATCH_LEVEL, kEntry},
    {Op::IofCompleteRequest, "IofCompleteRequest", DISPATCH_LEVEL, kEntry},
    {Op::IoInitializeRemoveLockEx, "IoInitializeRemoveLockEx", PASSIVE_LEVEL, kEntry},
    {Op::IoAcquireRemoveLockEx, "IoAcquireRemoveLockEx", DISPATCH_LEVEL, kEntry},
    {Op::IoReleaseRemoveLockEx, "IoReleaseRemoveLockEx", DISPATCH_LEVEL, kEntry},
    {Op::IoReleaseRemoveLockAndWaitEx, "IoReleaseRemoveLockAndWaitEx", PASSIVE_LEVEL, kEntry},
    {Op::PoCallDriver, "PoCallDriver", DISPATCH_LEVEL, kEntry},
    {Op::PoStartNextPowerIrp, "PoStartNextPowerIrp", DISPATCH_LEVEL, kEntry},
    {Op::InterlockedIncrement, "InterlockedIncrement", kAnyLevel, SwitchPoint::Never},
    {Op::InterlockedDecrement, "InterlockedDecrement", kAnyLevel, SwitchPoint::Never},
    {Op::IoWMIRegistrationControl, "IoWMIRegistrationControl", PASSIVE_LEVEL, kEntry},
    {Op::WmiSystemControl, "WmiSystemControl", PASSIVE_LEVEL, kEntry},
    {Op::WmiCompleteRequest, "WmiCompleteRequest", DISPATCH_LEVEL, kEntry},
    {Op::PagedCode, "PAGED_CODE()", APC_LEVEL, SwitchPoint::Never},
}};

constexpr bool InOrder()
{
    for (size_t i = 0; i < kRules.size(); i++) {
        if (static_cast<size_t>(kRules[i].op) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InOrder(), "one rule per operation, in the order of Op");

SimThread* CurrentThread()
{
    Machine* m = Machine::TryCurrent();
    return m != nullptr ? m->scheduler().Current() : nullptr;
}

void CheckIrql(const OperationRule& rule, const SimThread* thread, const char* function)
{
    if (thread->irql <= rule.max_irql) {
        return;
    }
    std::string what = rule.name;
    if (function != nullptr) {
        what += " in " + std::string(function);
    }
    Machine::Current().verifier().Report("irql", what + " at " + IrqlName(thread->irql) +
                                                     ", above its maximum " + IrqlName(rule.max_irql) +
                                                     ", in thread \"" + thread->name + "\"");
}

} // namespace

const OperationRule& RuleOf(Op op)
{
    return kRules[static_cast<size_t>(op)];
}

const char* IrqlName(KIRQL irql)
{
    static const char* const kNames[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
    return irql <= DISPATCH_LEVEL ? kNames[irql] : "above DISPATCH_LEVEL";
}

KIRQL CurrentIrql()
{
    const SimThread* t = CurrentThread();
    return t != nullptr ? t->irql : static_cast<KIRQL>(PASSIVE_LEVEL);
}

RaisedIrql::RaisedIrql(KIRQL irql) : thread_(CurrentThread())
{
    if (thread_ != nullptr) {
        previous_ = thread_->irql;
        thread_->irql = std::max(previous_, irql);
    }
}

RaisedIrql::~RaisedIrql()
{
    if (thread_ != nullptr) {
        thread_->irql = previous_;
    }
}

OperationEntry::OperationEntry(Op op, const char* function) : thread_(CurrentThread())
{
    if (thread_ == nullptr || thread_->platform_depth++ > 0) {
        return;
    }
    const OperationRule& rule = RuleOf(op);
    CheckIrql(rule, thread_, function);
    Scheduler& scheduler = Machine::Current().scheduler();
    if (rule.point == SwitchPoint::Always ||
        (rule.point == SwitchPoint::AtEntries && scheduler.entry_switch_points())) {
        scheduler.PreemptionPoint();
    }
}

OperationEntry::~OperationEntry()
{
    if (thread_ != nullptr) {
        thread_->platform_depth--;
    }
}

DriverCall::DriverCall() : thread_(CurrentThread())
{
    if (thread_ == nullptr) {
        return;
    }
    saved_depth_ = thread_->platform_depth;
    thread_->platform_depth = 0;
    Scheduler& scheduler = Machine::Current().scheduler();
    if (scheduler.entry_switch_points()) {
        scheduler.PreemptionPoint();
    }
}

DriverCall::~DriverCall()
{
    if (thread_ != nullptr) {
        thread_->platform_depth = saved_depth_;
    }
}

} // namespace sim
