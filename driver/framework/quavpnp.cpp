/*++

Module Name:

    quavpnp.cpp

Abstract:

    Plug and Play, power and removal. Decides when the device starts (once
    the lower drivers have started), when user-mode and WMI requests are
    refused, when the device interface is enabled, and how the device is torn
    down: the monitor thread is told to end and waited for, requests in
    progress are drained through the remove lock, then the link, interface,
    WMI registration and device object go. Power requests are passed down.

    Device states (DEVICE_PNP_STATE), each transition made by SetPnpState;
    user-mode and WMI requests are admitted only in the started state:

        not started       after AddDevice, and after a failed start
        started           a successful start request
        stop pending      query-stop; cancel-stop restores the state before
        stopped           a stop; a started device's remove lock is closed
                          for good, so a new start is refused
        remove pending    query-remove with no handle open; cancel-remove
                          restores the state before
        surprise removed  interface and link gone; only the removal request
                          changes it, and a start is refused
        deleted           the removal request is tearing the device down

Environment:

    Kernel mode only, passive level. Pageable.

--*/

#include "control/dispatch.h"
#include "eventlog/eventlog.h"
#include "framework/quavpnp.h"
#include "monitor/monitor.h"
#include "wmi/quavwmi.h"

/*++

Routine Description:

    Moves the device to a new Plug and Play state, remembering the one it
    leaves for a cancel to restore, and opens the device to user-mode and
    WMI requests in the started state only.

--*/
CODE_SEG("PAGE") VOID SetPnpState(PDEVICE_EXTENSION Extension, DEVICE_PNP_STATE State)
{
    PAGED_CODE();

    Extension->PreviousPnpState = Extension->PnpState;
    Extension->PnpState = State;
    WriteUCharNoFence(&Extension->RejectRequests, State == PnpStarted ? 0 : 1);
}

//
// A cancel undoes its own query only: a cancel-remove the system sends to a
// device that never saw the query (another driver vetoed it first) leaves
// the state as it is.
//
CODE_SEG("PAGE") static VOID CancelPendingState(PDEVICE_EXTENSION Extension, DEVICE_PNP_STATE Pending)
{
    PAGED_CODE();

    if (Extension->PnpState == Pending) {
        SetPnpState(Extension, Extension->PreviousPnpState);
    }
}

CODE_SEG("PAGE") static NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(extension->LowerDeviceObject, Irp);
}

CODE_SEG("PAGE") static VOID DeleteSymbolicLink(VOID)
{
    PAGED_CODE();

    UNICODE_STRING link;

    RtlInitUnicodeString(&link, WSTR(QUAV_LINK_NAME_TEXT));
    IoDeleteSymbolicLink(&link);
}

CODE_SEG("PAGE") static VOID DisableInterface(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Extension->InterfaceName);
}

/*++

Routine Description:

    The lower drivers are done with the start request: hand it back to
    HandleStartDevice, which waits for this event.

--*/
static NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*++

Routine Description:

    Passes the start request down and waits for the lower drivers, then
    starts monitoring whatever they answered (the hardware is found by
    probing, not through the request's resources). A successful start opens
    the device to requests and enables its interface.

--*/
CODE_SEG("PAGE") static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &event, TRUE, TRUE, TRUE);
    status = IofCallDriver(extension->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }

    status = StartDevice(extension);
    if (NT_SUCCESS(status)) {
        SetPnpState(extension, PnpStarted);
        IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
    }
    return CompleteRequest(Irp, status, 0);
}

CODE_SEG("PAGE") static NTSTATUS HandleQueryRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (extension->OpenHandleCount > 0) {
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    SetPnpState(extension, PnpRemovePending);
    return PassDown(DeviceObject, Irp);
}

CODE_SEG("PAGE") static VOID ReportDeviceStopped(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    if (Extension->Started) {
        Extension->Started = 0;
        WriteEventLogEntry(NULL, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_STOPPED, NULL);
    }
}

/*++

Routine Description:

    Moves the device to its stopped or deleted state, which refuses further
    requests, and, if the device had started, gives up this request's hold
    on the remove lock and waits until every other holder is gone; the lock
    is closed from then on.

Arguments:

    State - PnpStopped for a stop, PnpDeleted for a removal.

    LockReleased - set to TRUE when this request's hold was given up here.

--*/
CODE_SEG("PAGE")
static VOID StopDevice(PDEVICE_EXTENSION Extension, PIRP Irp, DEVICE_PNP_STATE State, PBOOLEAN LockReleased)
{
    PAGED_CODE();

    SetPnpState(Extension, State);
    if (Extension->Started) {
        IoReleaseRemoveLockAndWaitEx(&Extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
        *LockReleased = TRUE;
        ReportDeviceStopped(Extension);
    }
}

CODE_SEG("PAGE")
static NTSTATUS HandleStopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PBOOLEAN LockReleased)
{
    PAGED_CODE();

    StopDevice((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, Irp, PnpStopped, LockReleased);
    return PassDown(DeviceObject, Irp);
}

/*++

Routine Description:

    The device is gone from the bus: refuse requests and take away the ways
    to reach it. The monitor thread runs on until the removal request.

--*/
CODE_SEG("PAGE") static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    SetPnpState(extension, PnpSurpriseRemoved);
    DisableInterface(extension);
    DeleteSymbolicLink();
    return PassDown(DeviceObject, Irp);
}

//
// Tells the monitor thread to end, wakes it from its polling wait, and waits
// until it has ended, so that the extension outlives it.
//
CODE_SEG("PAGE") static VOID EndMonitorThread(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    if (Extension->MonitorThreadObject == NULL) {
        return;
    }
    if (!ReadUCharNoFence(&Extension->StopMonitor)) {
        WriteUCharNoFence(&Extension->StopMonitor, 1);
        KeReleaseSemaphore(&Extension->MonitorSemaphore, 0, 1, FALSE);
    }
    KeWaitForSingleObject(Extension->MonitorThreadObject, UserRequest, KernelMode, FALSE, NULL);
    ObfDereferenceObject(Extension->MonitorThreadObject);
    Extension->MonitorThreadObject = NULL;
}

/*++

Routine Description:

    Removal: ends the monitor thread, stops the device, passes the request
    down, and deletes everything AddDevice created.

    The remove lock is always drained before the device object goes, also
    for a device that never started: WMI's registration query is served
    before the start, and a request still holding the lock must not outlive
    the extension it points into.

Arguments:

    LockHeld - whether this request holds the remove lock (it does not after
    a stop of a started device closed the lock).

Return Value:

    The lower drivers' status.

--*/
CODE_SEG("PAGE") static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN LockHeld)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    BOOLEAN released = FALSE;
    NTSTATUS status;

    EndMonitorThread(extension);
    StopDevice(extension, Irp, PnpDeleted, &released);
    if (LockHeld && !released) {
        IoReleaseRemoveLockAndWaitEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
    status = PassDown(DeviceObject, Irp);
    DisableInterface(extension);
    DeleteSymbolicLink();
    DeregisterWmi(DeviceObject);
    if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
    }
    /* The global reference must not outlive the extension it points into. */
    if (g_DeviceExtension == extension) {
        g_DeviceExtension = NULL;
    }
    IoDeleteDevice(DeviceObject);
    return status;
}

/*++

Routine Description:

    After a surprise removal the hardware is gone and only the removal
    request does anything: a start is refused, so that nothing reopens the
    device to its old handles, and the rest are passed down unchanged.

--*/
CODE_SEG("PAGE")
static NTSTATUS HandleAfterSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Minor)
{
    PAGED_CODE();

    if (Minor == IRP_MN_START_DEVICE) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    return PassDown(DeviceObject, Irp);
}

/*++

Routine Description:

    The Plug and Play dispatch routine. Every request holds the remove lock
    while it is handled. Once a stop has closed the lock, requests are
    refused with its status, except surprise removal and removal, which the
    system never lets a driver refuse: they still do their whole work, so the
    device, its names and the monitor thread do not leak.

--*/
CODE_SEG("PAGE") NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    BOOLEAN released = FALSE;
    BOOLEAN held;
    NTSTATUS status;

    status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    held = NT_SUCCESS(status);
    if (!held && minor != IRP_MN_REMOVE_DEVICE && minor != IRP_MN_SURPRISE_REMOVAL) {
        return CompleteRequest(Irp, status, 0);
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        return HandleRemoveDevice(DeviceObject, Irp, held);
    }

    if (extension->PnpState == PnpSurpriseRemoved) {
        status = HandleAfterSurpriseRemoval(DeviceObject, Irp, minor);
    } else {
        switch (minor) {
            case IRP_MN_START_DEVICE:
                status = HandleStartDevice(DeviceObject, Irp);
                break;
            case IRP_MN_QUERY_REMOVE_DEVICE:
                status = HandleQueryRemove(DeviceObject, Irp);
                break;
            case IRP_MN_CANCEL_REMOVE_DEVICE:
                CancelPendingState(extension, PnpRemovePending);
                status = PassDown(DeviceObject, Irp);
                break;
            case IRP_MN_STOP_DEVICE:
                status = HandleStopDevice(DeviceObject, Irp, &released);
                break;
            case IRP_MN_QUERY_STOP_DEVICE:
                SetPnpState(extension, PnpStopPending);
                status = PassDown(DeviceObject, Irp);
                break;
            case IRP_MN_CANCEL_STOP_DEVICE:
                CancelPendingState(extension, PnpStopPending);
                status = PassDown(DeviceObject, Irp);
                break;
            case IRP_MN_SURPRISE_REMOVAL:
                status = HandleSurpriseRemoval(DeviceObject, Irp);
                break;
            default:
                status = PassDown(DeviceObject, Irp);
                break;
        }
    }

    if (held && !released) {
        IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
    return status;
}

/*++

Routine Description:

    The power dispatch routine: the driver keeps no power state and passes
    every power request down, telling the power manager first that it may
    send the next one. A request that finds the remove lock closed (after a
    stop) is passed down all the same: the system cannot complete a set-power
    request without the lower drivers.

--*/
CODE_SEG("PAGE") NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;
    BOOLEAN held;

    held = NT_SUCCESS(
        IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK)));
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDeviceObject, Irp);
    if (held) {
        IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
    return status;
}
