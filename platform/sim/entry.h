// Where the driver and the platform meet: the IRQL of each simulated thread, the check of every operation
// against the highest IRQL Windows documents for it, and the switch points a seeded run may take there.
//
// Every operation in platform/operations.txt (what the driver may import) begins with an OperationEntry: the
// IRQL check, then a switch point (not taken at DISPATCH_LEVEL or above: one processor does not switch
// threads there). Every call from the platform into the driver (dispatch routines, completion routines,
// AddDevice, DriverEntry, unload, system thread start, WMI and registry query callbacks) goes through a
// DriverCall, another switch point. Operations the platform makes on its own behalf while serving one (an
// allocation inside IoRegisterDeviceInterface, the signal inside a remove lock's release) are neither checked
// nor switch points: the thread is inside the platform, and the driver's call was checked at its entry.
//
// The inline accessors (Interlocked*, Read/Write*NoFence) are instructions in the kernel image, and so
// never switch points here either.
#pragma once

#include <cstdint>

#include "platform.h"

namespace sim {

struct SimThread;

// What Windows documents as the highest IRQL of a caller.
enum class Op : uint8_t {
    KeInitializeEvent,
    KeSetEvent,
    KeInitializeMutex,
    KeReleaseMutex,
    KeInitializeSemaphore,
    KeReleaseSemaphore,
    KeWaitForSingleObject,     // a wait that may block: a non-zero or no timeout
    KeWaitForSingleObjectPoll, // a zero timeout only tests the object
    KeDelayExecutionThread,
    ExAllocatePoolWithTag,
    ExAllocatePagedPool, // ExAllocatePoolWithTag of paged pool
    ExFreePool,
    ExFreePagedPool, // ExFreePool of paged pool
    ReadPortUchar,
    WritePortUchar,
    ReadPortUlong,
    WritePortUlong,
    RtlInitUnicodeString,
    RtlFreeUnicodeString,
    RtlQueryRegistryValues,
    RtlWriteRegistryValue,
    Swprintf,
    Wcslen,
    Wcscpy,
    PsCreateSystemThread,
    PsTerminateSystemThread,
    ObReferenceObjectByHandle,
    ObfDereferenceObject,
    ZwClose,
    IoAllocateErrorLogEntry,
    IoWriteErrorLogEntry,
    IoCreateDevice,
    IoDeleteDevice,
    IoCreateSymbolicLink,
    IoDeleteSymbolicLink,
    IoRegisterDeviceInterface,
    IoSetDeviceInterfaceState,
    IoAttachDeviceToDeviceStack,
    IoDetachDevice,
    IofCallDriver,
    IofCompleteRequest,
    IoInitializeRemoveLockEx,
    IoAcquireRemoveLockEx,
    IoReleaseRemoveLockEx,
    IoReleaseRemoveLockAndWaitEx,
    PoCallDriver,
    PoStartNextPowerIrp,
    InterlockedIncrement,
    InterlockedDecrement,
    IoWMIRegistrationControl,
    WmiSystemControl,
    WmiCompleteRequest,
    PagedCode, // PAGED_CODE(): the routine is pageable
    Count
};

// Where a seeded run may switch threads at an operation's entry.
enum class SwitchPoint : uint8_t {
    Always,    // port I/O: a switch point since the first scheduler
    AtEntries, // the switch points at every imported operation (SchedulerOptions::entry_switch_points)
    Never,     // an instruction in the kernel image, or a check that is no call there
};

struct OperationRule {
    Op op;
    const char* name;
    KIRQL max_irql;
    SwitchPoint point;
};

const OperationRule& RuleOf(Op op);
// "PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL", or the number.
const char* IrqlName(KIRQL irql);

// The calling thread's IRQL: PASSIVE_LEVEL for a host thread the simulation does not know.
KIRQL CurrentIrql();

// The calling thread runs at `irql` for the guard's lifetime (at least its current IRQL: a raise never
// lowers it), as a driver's DPC completes a request at DISPATCH_LEVEL.
class RaisedIrql {
public:
    explicit RaisedIrql(KIRQL irql);
    ~RaisedIrql();
    RaisedIrql(const RaisedIrql&) = delete;
    RaisedIrql& operator=(const RaisedIrql&) = delete;

private:
    SimThread* thread_;
    KIRQL previous_ = PASSIVE_LEVEL;
};

// The driver called operation `op`: the first statement of each exported operation. `function` names the
// caller for PAGED_CODE's report.
class OperationEntry {
public:
    explicit OperationEntry(Op op, const char* function = nullptr);
    ~OperationEntry();
    OperationEntry(const OperationEntry&) = delete;
    OperationEntry& operator=(const OperationEntry&) = delete;

private:
    SimThread* thread_;
};

// The platform calls into the driver for the guard's lifetime: a switch point at the call, and the
// driver's own calls to the platform are checked again.
class DriverCall {
public:
    DriverCall();
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

private:
    SimThread* thread_;
    int saved_depth_ = 0;
};

} // namespace sim
