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

typedef NTSTATUS (*PWMI_QUERY_REGINFO)(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                       PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                       PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo);
typedef NTSTATUS (*PWMI_QUERY_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                         ULONG InstanceIndex, ULONG InstanceCount, PULONG InstanceLengthArray,
                                         ULONG BufferAvail, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATABLOCK)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                       ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_SET_DATAITEM)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                      ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_EXECUTE_METHOD)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                        ULONG InstanceIndex, ULONG MethodId, ULONG InBufferSize,
                                        ULONG OutBufferSize, PUCHAR Buffer);
typedef NTSTATUS (*PWMI_FUNCTION_CONTROL)(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
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
