/*++

Module Name:

    entry.cpp

Abstract:

    Driver entry and device creation: DriverEntry writes the first event-log
    entries, keeps a copy of the service key path and installs the dispatch
    routines; AddDevice creates the one device object with its link and
    interface, attaches it to the device stack and registers it with WMI.
    Nothing here touches the hardware: the start request does.

Environment:

    Kernel mode only, passive level.

--*/

#include "control/dispatch.h"
#include "eventlog/eventlog.h"
#include "framework/quavpnp.h"
#include "wmi/quavwmi.h"

UNICODE_STRING RegistryPathCopy;

static const GUID DeviceInterfaceGuid = {
    0x60E33CC3, 0xC636, 0x43BE, {0xAC, 0x88, 0x13, 0x29, 0x9D, 0x2F, 0x0C, 0x21}};

#define REMOVE_LOCK_MAX_MINUTES 1
#define REMOVE_LOCK_HIGH_WATER  5
#define MONITOR_SEMAPHORE_LIMIT 0x7FFFFFFF

/*++

Routine Description:

    Called once at load: event logging first, then the private copy of the
    service key path (its text followed by zero bytes up to MaximumLength),
    then the dispatch table.

Return Value:

    STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES when the copy cannot be
    allocated (no routine is installed then and the driver does not load).

--*/
extern "C" CODE_SEG("INIT") NTSTATUS NTAPI
    DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    InitEventLog(DriverObject);

    RegistryPathCopy.Length = RegistryPath->Length;
    RegistryPathCopy.MaximumLength = RegistryPath->MaximumLength;
    RegistryPathCopy.Buffer =
        (PWSTR)ExAllocatePoolWithTag(PagedPool, RegistryPath->MaximumLength, REGISTRY_PATH_TAG);
    if (RegistryPathCopy.Buffer == NULL) {
        WriteEventLogEntry(DriverObject, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_LOGGING_ENABLED,
                           NULL);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(RegistryPathCopy.Buffer, RegistryPath->MaximumLength);
    // A counted string whose Length exceeds its MaximumLength is malformed; never copy past the buffer.
    if (RegistryPathCopy.Length > RegistryPathCopy.MaximumLength) {
        RegistryPathCopy.Length = RegistryPathCopy.MaximumLength;
    }
    RtlCopyMemory(RegistryPathCopy.Buffer, RegistryPath->Buffer, RegistryPathCopy.Length);

    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;

    WriteEventLogEntry(DriverObject, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DRIVER_INITIALIZED,
                       NULL);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Creates the device object for the device node, its symbolic link and its
    (disabled) device interface, attaches it to the device stack and
    registers it with WMI. Requests stay refused until the device starts.
    A failed step undoes the earlier ones in reverse order.

Return Value:

    STATUS_SUCCESS; the failing step's status; STATUS_NO_SUCH_DEVICE when
    there is no device stack to attach to.

--*/
CODE_SEG("PAGE") NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    PDEVICE_OBJECT deviceObject;
    PDEVICE_EXTENSION extension;
    NTSTATUS status;

    RtlInitUnicodeString(&deviceName, WSTR(QUAV_DEVICE_NAME_TEXT));
    RtlInitUnicodeString(&linkName, WSTR(QUAV_LINK_NAME_TEXT));

    status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_QUAV, 0, FALSE,
                            &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return status;
    }

    extension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    extension->PhysicalDeviceObject = PhysicalDeviceObject;
    extension->DeviceObject = deviceObject;
    extension->OpenHandleCount = 0;
    extension->Started = 0;
    SetPnpState(extension, PnpNotStarted);

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &DeviceInterfaceGuid, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return status;
    }

    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (extension->LowerDeviceObject == NULL) {
        RtlFreeUnicodeString(&extension->InterfaceName);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    IoInitializeRemoveLockEx(&extension->RemoveLock, REMOVE_LOCK_TAG, REMOVE_LOCK_MAX_MINUTES,
                             REMOVE_LOCK_HIGH_WATER, sizeof(IO_REMOVE_LOCK));
    KeInitializeSemaphore(&extension->MonitorSemaphore, 0, MONITOR_SEMAPHORE_LIMIT);
    extension->StopMonitor = 0;

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;

    RegisterWmi(deviceObject);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Frees the copy of the service key path. The device object and everything
    it owns were torn down by the removal request before the unload.

--*/
CODE_SEG("PAGE") VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(DriverObject);
    if (RegistryPathCopy.Buffer != NULL) {
        ExFreePool(RegistryPathCopy.Buffer);
        RegistryPathCopy.Buffer = NULL;
        RegistryPathCopy.Length = 0;
        RegistryPathCopy.MaximumLength = 0;
    }
}
