/*++

Module Name:

    dispatch.cpp

Abstract:

    Create, close and device control. Create and close count open handles;
    each device-control request takes the remove lock, runs one record
    operation on the caller's own copy of a record in the system buffer, and
    completes. The driver's stored records are never touched here.

Environment:

    Kernel mode only, passive level, on the callers' threads.

--*/

#include "control/dispatch.h"
#include "control/records.h"

//
// The record requests: the bytes each needs in and out, and what it returns
// on success.
//
typedef struct _RECORD_REQUEST {
    ULONG IoControlCode;
    ULONG InputLength;
    ULONG OutputLength;
} RECORD_REQUEST;

static const RECORD_REQUEST RecordRequests[] = {
    {IOCTL_QUAV_READ_SENSOR, sizeof(SENSOR_RECORD), sizeof(SENSOR_RECORD)},
    {IOCTL_QUAV_SET_FAN_PWM, sizeof(SENSOR_RECORD) + sizeof(ULONG), sizeof(SENSOR_RECORD)},
    {IOCTL_QUAV_READ_CONTROL, sizeof(CONTROL_RECORD), sizeof(CONTROL_RECORD)},
    {IOCTL_QUAV_SET_CONTROL, sizeof(CONTROL_RECORD) + sizeof(ULONG), sizeof(CONTROL_RECORD)},
};

/*++

Routine Description:

    Completes a request with a status and a byte count, without a priority
    boost.

Return Value:

    The status.

--*/
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (ReadUCharNoFence(&extension->RejectRequests)) {
        return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    InterlockedIncrement(&extension->OpenHandleCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

//
// Close is never refused: the handle is gone whatever state the device is in.
//
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    InterlockedDecrement(&extension->OpenHandleCount);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/*++

Routine Description:

    Runs one record request on the system buffer, which holds the caller's
    record followed, for the set requests, by the PWM value or value code.
    The buffer must be as large as the request's record in both directions:
    a shorter one is refused before anything is read or written.

Arguments:

    Information - receives the bytes to return on success.

--*/
static NTSTATUS RunRecordRequest(const RECORD_REQUEST* Request, PIO_STACK_LOCATION Stack, PVOID Buffer,
                                 PULONG_PTR Information)
{
    ULONG argument;
    NTSTATUS status;

    if (Buffer == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < Request->InputLength ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < Request->OutputLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    switch (Request->IoControlCode) {
        case IOCTL_QUAV_READ_SENSOR:
            status = ReadSensorRecord((PSENSOR_RECORD)Buffer);
            break;
        case IOCTL_QUAV_SET_FAN_PWM:
            RtlCopyMemory(&argument, (PUCHAR)Buffer + sizeof(SENSOR_RECORD), sizeof(argument));
            status = SetFanPwm((PSENSOR_RECORD)Buffer, argument);
            break;
        case IOCTL_QUAV_READ_CONTROL:
            status = ReadControlRecord((PCONTROL_RECORD)Buffer);
            break;
        default: // IOCTL_QUAV_SET_CONTROL
            RtlCopyMemory(&argument, (PUCHAR)Buffer + sizeof(CONTROL_RECORD), sizeof(argument));
            status = SetControlRecord((PCONTROL_RECORD)Buffer, argument);
            break;
    }
    if (NT_SUCCESS(status)) {
        *Information = Request->OutputLength;
    }
    return status;
}

/*++

Routine Description:

    The device-control dispatch routine. Refused while the device does not
    accept requests; otherwise runs under the remove lock, so that removal
    waits for it.

Return Value:

    The request's final status: STATUS_DEVICE_NOT_CONNECTED while requests
    are refused; the remove lock's status once it is closed;
    STATUS_INVALID_DEVICE_REQUEST for an unknown control code or a record
    request without a buffer; STATUS_BUFFER_TOO_SMALL for a buffer shorter
    than the request's record; else the record operation's status.

--*/
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG_PTR information = 0;
    NTSTATUS status;

    if (ReadUCharNoFence(&extension->RejectRequests)) {
        return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }

    status = STATUS_INVALID_DEVICE_REQUEST;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_QUAV_NOP1 || code == IOCTL_QUAV_NOP2) {
            status = STATUS_SUCCESS;
        }
        for (ULONG i = 0; i < RTL_NUMBER_OF(RecordRequests); i++) {
            if (RecordRequests[i].IoControlCode == code) {
                status = RunRecordRequest(&RecordRequests[i], stack, Irp->AssociatedIrp.SystemBuffer,
                                          &information);
            }
        }
    }

    CompleteRequest(Irp, status, information);
    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}
