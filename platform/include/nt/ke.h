/*++

Module Name:

    ke.h

Abstract:

    Kernel dispatcher objects (events, mutexes, semaphores, threads) and the
    single-object wait. Every dispatcher object begins with a
    DISPATCHER_HEADER; the objects are plain storage that the Initialize
    routines fill, so a zero-filled static object is valid storage and may be
    initialized again once nothing waits on it.

    Times are in units of 100 ns; a negative timeout is relative, a positive
    one absolute system time, zero a test that does not wait.

--*/

#pragma once

#include "ntdef.h"
#include "ntstatus.h"

typedef UCHAR KIRQL, *PKIRQL;
#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    MaximumWaitReason = 37
} KWAIT_REASON;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

//
// Dispatcher object types, as stored in DISPATCHER_HEADER.Type.
//
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ProcessObject = 3,
    QueueObject = 4,
    SemaphoreObject = 5,
    ThreadObject = 6,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved[3];
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD* PETHREAD;

//
// A mutex is owned: SignalState is 1 when free and 1 - depth while its owner
// holds it, so the owner may acquire it again and must release it as often.
//
typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
    DISPATCHER_HEADER Header;
    LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

//
// Kernel objects embedded in the I/O manager's objects (the device object's
// queue and DPC, a request's APC). The simulated kernel never uses them;
// they are here so that the objects around them have the kernel's layout.
//
typedef ULONG_PTR KSPIN_LOCK;

typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
    SHORT Type;
    SHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PVOID DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC;

typedef struct _KAPC {
    UCHAR Type;
    UCHAR SpareByte0;
    UCHAR Size;
    UCHAR SpareByte1;
    ULONG SpareLong0;
    PKTHREAD Thread;
    LIST_ENTRY ApcListEntry;
    PVOID KernelRoutine;
    PVOID RundownRoutine;
    PVOID NormalRoutine;
    PVOID NormalContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    CCHAR ApcStateIndex;
    KPROCESSOR_MODE ApcMode;
    BOOLEAN Inserted;
} KAPC, *PKAPC;

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTSYSAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTSYSAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTSYSAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

NTSYSAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTSYSAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTSYSAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTSYSAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                       BOOLEAN Wait);
NTSYSAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

NTSYSAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                              BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                               PLARGE_INTEGER Interval);

NTSYSAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTSYSAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTSYSAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTSYSAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

// The simulation's PAGED_CODE() (below): reports Function when the IRQL is
// above APC_LEVEL.
VOID NTAPI SimCheckPagedCode(PCSTR Function);

#ifdef __cplusplus
}
#endif

//
// Plain loads and stores of fields that threads share without a lock (flags,
// readings): no ordering is promised beyond the access itself being whole.
// Relaxed atomics here, so that a race checker sees them as intended.
//
FORCEINLINE UCHAR ReadUCharNoFence(const volatile UCHAR* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

FORCEINLINE VOID WriteUCharNoFence(volatile UCHAR* Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

FORCEINLINE LONG ReadNoFence(const volatile LONG* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

FORCEINLINE VOID WriteNoFence(volatile LONG* Destination, LONG Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

//
// Pageable code runs at most at APC_LEVEL: above it a page fault cannot be
// served and the system stops. The simulation reports a pageable routine
// entered above APC_LEVEL, naming it; the kernel build's PAGED_CODE is the
// DDK's (nothing in a free build), so quav.sys never calls the hook.
//
#define PAGED_CODE() SimCheckPagedCode(__func__)
