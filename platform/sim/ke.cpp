// The kernel's dispatcher routines, on the current machine's scheduler.
#include "entry.h"
#include "machine.h"

using sim::kBootSystemTime;
using sim::Machine;

namespace {

sim::Scheduler& Sched()
{
    return Machine::Current().scheduler();
}

} // namespace

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    const sim::OperationEntry entry(sim::Op::KeInitializeEvent);
    Sched().InitObject(&Event->Header,
                       Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                       State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    const sim::OperationEntry entry(sim::Op::KeSetEvent);
    (void)Increment;
    (void)Wait;
    const LONG previous = Sched().SetEvent(Event);
    Sched().PreemptionPoint();
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    return Sched().ResetEvent(Event);
}

VOID KeClearEvent(PRKEVENT Event)
{
    Sched().ResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    return Sched().ReadState(&Event->Header);
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    const sim::OperationEntry entry(sim::Op::KeInitializeMutex);
    (void)Level;
    Sched().InitMutex(Mutex);
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    const sim::OperationEntry entry(sim::Op::KeReleaseMutex);
    (void)Wait;
    const LONG previous = Sched().ReleaseMutex(Mutex);
    Sched().PreemptionPoint();
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    return Sched().ReadState(&Mutex->Header);
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    const sim::OperationEntry entry(sim::Op::KeInitializeSemaphore);
    Semaphore->Limit = Limit;
    Sched().InitObject(&Semaphore->Header, SemaphoreObject, Count);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    const sim::OperationEntry entry(sim::Op::KeReleaseSemaphore);
    (void)Increment;
    (void)Wait;
    const LONG previous = Sched().ReleaseSemaphore(Semaphore, Adjustment);
    Sched().PreemptionPoint();
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    return Sched().ReadState(&Semaphore->Header);
}

// Alertable waits are taken as plain waits: nothing in the simulation queues APCs.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    const sim::OperationEntry entry(Timeout != nullptr && Timeout->QuadPart == 0
                                        ? sim::Op::KeWaitForSingleObjectPoll
                                        : sim::Op::KeWaitForSingleObject);
    (void)WaitMode;
    (void)Alertable;
    if (Object == nullptr) {
        sim::Fatal("KeWaitForSingleObject on a null object");
    }
    return Sched().Wait(static_cast<DISPATCHER_HEADER*>(Object), WaitReason, Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    const sim::OperationEntry entry(sim::Op::KeDelayExecutionThread);
    (void)WaitMode;
    (void)Alertable;
    sim::SimThread* me = Sched().Current();
    if (me == nullptr) {
        sim::Fatal("KeDelayExecutionThread from a host thread the simulation does not know");
    }
    Sched().Wait(&me->sleep_event.Header, DelayExecution, Interval);
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = kBootSystemTime + Sched().Now();
}

ULONGLONG KeQueryInterruptTime(VOID)
{
    return static_cast<ULONGLONG>(Sched().Now());
}

KIRQL KeGetCurrentIrql(VOID)
{
    return sim::CurrentIrql();
}

VOID SimCheckPagedCode(PCSTR Function)
{
    const sim::OperationEntry entry(sim::Op::PagedCode, Function);
}

PKTHREAD KeGetCurrentThread(VOID)
{
    sim::SimThread* me = Sched().Current();
    return me != nullptr ? &me->object : nullptr;
}

} // extern "C"
