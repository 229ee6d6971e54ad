/*++

Module Name:

    wmilib.h

Abstract:

    The WMI library's context: a driver's GUID table and the callbacks the
    library calls while it parses a system-control request.

--*/

#pragma once

#include "io.h"

typedef struct _WMIGUIDREGINFO {
    LPCGUID Guid;
    ULONG InstanceCount;
    ULONG Flags;
} WMIGUIDREGINFO, *PWMIGUIDREGINFO;

typedef enum { WmiEventControl, WmiDataBlockControl } WMIENABLEDISABLECONTROL;

typedef NTSTATUS(NTAPI* PWMI_QUERY_REGINFO)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                            PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                            PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
typedef NTSTATUS(NTAPI* PWMI_QUERY_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                              ULONG InstanceIndex, ULONG InstanceCount,
                                              PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer);
typedef NTSTATUS(NTAPI* PWMI_SET_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                            ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI* PWMI_SET_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                           ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                           PUCHAR Buffer);
typedef NTSTATUS(NTAPI* PWMI_EXECUTE_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                             ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                             ULONG OutBufferSize, PUCHAR Buffer);
typedef NTSTATUS(NTAPI* PWMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                               WMIENABLEDISABLECONTROL Function, BOOLEAN Enable);

typedef struct _WMILIB_CONTEXT {
    ULONG GuidCount;
    PWMIGUIDREGINFO GuidList;
    PWMI_QUERY_REGINFO QueryWmiRegInfo;
    PWMI_QUERY_DATABLOCK QueryWmiDataBlock;
    PWMI_SET_DATABLOCK SetWmiDataBlock;
    PWMI_SET_DATAITEM SetWmiDataItem;
    PWMI_EXECUTE_METHOD ExecuteWmiMethod;
    PWMI_FUNCTION_CONTROL WmiFunctionControl;
} WMILIB_CONTEXT, *PWMILIB_CONTEXT;

//
// What WmiSystemControl did with a request.
//
typedef enum _SYSCTL_IRP_DISPOSITION {
    IrpProcessed,    // a callback completed it
    IrpNotCompleted, // the library left it for the driver to complete
    IrpNotWmi,       // not a WMI request: pass it down
    IrpForward       // a WMI request for another device: pass it down
} SYSCTL_IRP_DISPOSITION,
    *PSYSCTL_IRP_DISPOSITION;

//
// Registration flags and actions.
//
#define WMIREG_FLAG_INSTANCE_PDO    0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID 0x00000040
#define WMIREG_ACTION_REGISTER      1
#define WMIREG_ACTION_DEREGISTER    2

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action);
NTSYSAPI NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                         PSYSCTL_IRP_DISPOSITION IrpDisposition);
NTSYSAPI NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status,
                                           ULONG BufferUsed, CCHAR PriorityBoost);

#ifdef __cplusplus
}
#endif
