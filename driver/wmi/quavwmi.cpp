/*++

Module Name:

    quavwmi.cpp

Abstract:

    WMI: a data block reporting every sensor's reading and critical limits,
    with two methods that change the reported limits, and an event GUID whose
    events can be enabled but are never fired. The platform's WMI library
    parses the requests and calls the callbacks here.

Environment:

    Kernel mode only, passive level.

--*/

#include "control/dispatch.h"
#include "control/records.h"
#include "wmi/quavwmi.h"

static const GUID SensorDataGuid = QUAV_SENSOR_DATA_GUID_INIT;
static const GUID SensorEventGuid = QUAV_SENSOR_EVENT_GUID_INIT;

#define SENSOR_DATA_GUID_INDEX  0
#define SENSOR_EVENT_GUID_INDEX 1
#define QUAV_GUID_COUNT         2

static WMIGUIDREGINFO QuavGuidList[] = {
    {&SensorDataGuid, 1, 0},
    {&SensorEventGuid, 1, WMIREG_FLAG_EVENT_ONLY_GUID},
};

C_ASSERT(RTL_NUMBER_OF(QuavGuidList) == QUAV_GUID_COUNT);

#define SENSOR_DATA_BLOCK_SIZE (SENSOR_COUNT * sizeof(SENSOR_DATA_ENTRY))

static NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                   PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                   PDEVICE_OBJECT* Pdo);
static NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                     ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                     ULONG BufferAvail, PUCHAR Buffer);
static NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                   ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
static NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
static NTSTATUS NTAPI ExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                    ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                    ULONG OutBufferSize, PUCHAR Buffer);
static NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                      WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

/*++

Routine Description:

    Fills the device's WMI library context and registers the device with
    WMI; the system then asks for the registration information. The
    registration's status is not examined.

--*/
CODE_SEG("PAGE") VOID RegisterWmi(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PWMILIB_CONTEXT context = &extension->WmiLibInfo;

    context->GuidCount = QUAV_GUID_COUNT;
    context->GuidList = QuavGuidList;
    context->QueryWmiRegInfo = QueryRegInfo;
    context->QueryWmiDataBlock = QueryDataBlock;
    context->SetWmiDataBlock = SetDataBlock;
    context->SetWmiDataItem = SetDataItem;
    context->ExecuteWmiMethod = ExecuteMethod;
    context->WmiFunctionControl = FunctionControl;
    IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_REGISTER);
}

CODE_SEG("PAGE") VOID DeregisterWmi(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();

    IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
}

/*++

Routine Description:

    The system-control dispatch routine. While the device refuses requests,
    only the registration-information query is answered: WMI sends it from
    its own thread some time after AddDevice registers, usually before the
    start, and refusing it would leave the data block unregistered for good.
    Once a stop or the removal has closed the remove lock it is refused like
    everything else: the device never runs again.

--*/
CODE_SEG("PAGE") NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status;

    if (ReadUCharNoFence(&extension->RejectRequests) && minor != IRP_MN_REGINFO &&
        minor != IRP_MN_REGINFO_EX) {
        return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }

    status = WmiSystemControl(&extension->WmiLibInfo, DeviceObject, Irp, &disposition);
    switch (disposition) {
        case IrpProcessed:
            break;
        case IrpNotCompleted:
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            break;
        default:
            IoSkipCurrentIrpStackLocation(Irp);
            status = IofCallDriver(extension->LowerDeviceObject, Irp);
            break;
    }

    IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    return status;
}

/*++

Routine Description:

    Registration information: instances named after the physical device
    object and the driver's service key as registry path. No MOF resource
    is named: the image carries none, and WMI fails a registration whose
    named resource it cannot load. The classes ship as quav.mof beside the
    driver and are compiled into the repository at install (mofcomp). The
    library hands in an empty MofResourceName, which is left so.

--*/
CODE_SEG("PAGE")
static NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                   PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                                   PDEVICE_OBJECT* Pdo)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    UNREFERENCED_PARAMETER(InstanceName);
    UNREFERENCED_PARAMETER(MofResourceName);
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &RegistryPathCopy;
    *Pdo = extension->PhysicalDeviceObject;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The sensor data block: each sensor is read anew (a failed read leaves
    the last reading), then its reading and critical limits are reported.

--*/
CODE_SEG("PAGE")
static NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                     ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                     ULONG BufferAvail, PUCHAR Buffer)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(InstanceCount);
    if (GuidIndex != SENSOR_DATA_GUID_INDEX) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    if (BufferAvail < SENSOR_DATA_BLOCK_SIZE) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, SENSOR_DATA_BLOCK_SIZE,
                                  IO_NO_INCREMENT);
    }
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        PSENSOR_RECORD record = &extension->SensorRecords[i];
        SENSOR_DATA_ENTRY entry;

        ReadSensorRecord(record);
        entry.CurrentValue = ReadNoFence(&record->CurrentValue);
        entry.CriticalUpper = ReadNoFence(&record->CriticalUpper);
        entry.CriticalLower = ReadNoFence(&record->CriticalLower);
        RtlCopyMemory(Buffer + i * sizeof(entry), &entry, sizeof(entry));
    }
    *InstanceLengthArray = SENSOR_DATA_BLOCK_SIZE;
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, SENSOR_DATA_BLOCK_SIZE, IO_NO_INCREMENT);
}

/*++

Routine Description:

    Methods 1 and 2 set the critical upper and lower limit that the data
    block reports for one sensor (threshold evaluation keeps its configured
    limits). Method 1 refuses a zero value.

--*/
CODE_SEG("PAGE")
static NTSTATUS NTAPI ExecuteMethod(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                    ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                    ULONG OutBufferSize, PUCHAR Buffer)
{
    PAGED_CODE();

    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    SENSOR_METHOD_INPUT input;
    NTSTATUS status = STATUS_INVALID_PARAMETER_MIX;

    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(OutBufferSize);
    if (GuidIndex != SENSOR_DATA_GUID_INDEX) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    }
    if (InBufferSize >= sizeof(input)) {
        RtlCopyMemory(&input, Buffer, sizeof(input));
        if (input.SensorNumber >= 1 && input.SensorNumber <= SENSOR_COUNT) {
            PSENSOR_RECORD record = &extension->SensorRecords[input.SensorNumber - 1];
            if (MethodId == WMI_METHOD_SET_CRITICAL_UPPER && input.Value != 0) {
                WriteNoFence(&record->CriticalUpper, input.Value);
                status = STATUS_SUCCESS;
            } else if (MethodId == WMI_METHOD_SET_CRITICAL_LOWER) {
                WriteNoFence(&record->CriticalLower, input.Value);
                status = STATUS_SUCCESS;
            }
        }
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

//
// Requests the driver does not serve: the GUIDs it registered refuse them as
// invalid, any other GUID is not found.
//
CODE_SEG("PAGE") static NTSTATUS RefuseWmiRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex)
{
    PAGED_CODE();

    NTSTATUS status = GuidIndex < QUAV_GUID_COUNT ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;

    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

CODE_SEG("PAGE")
static NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                      WMIENABLEDISABLECONTROL Function, BOOLEAN Enable)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(Enable);
    if (GuidIndex == SENSOR_EVENT_GUID_INDEX && Function == WmiEventControl) {
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
    return RefuseWmiRequest(DeviceObject, Irp, GuidIndex);
}

CODE_SEG("PAGE")
static NTSTATUS NTAPI SetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                   ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return RefuseWmiRequest(DeviceObject, Irp, GuidIndex);
}

CODE_SEG("PAGE")
static NTSTATUS NTAPI SetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer)
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(DataItemId);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return RefuseWmiRequest(DeviceObject, Irp, GuidIndex);
}
