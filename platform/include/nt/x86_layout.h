/*++

Module Name:

    x86_layout.h

Abstract:

    The x86 kernel's layout of every structure a driver and the kernel share,
    pinned: on x86 a loaded quav.sys, compiled against the DDK's headers,
    reads and writes these objects where the simulated kernel put them.
    IoSkipCurrentIrpStackLocation, for one, is inline in the driver and
    writes bytes 0x23 and 0x60 of the IRP.

--*/

#pragma once

#include "wdm.h"

#if defined(__i386__)

#define X86_SIZE(type, size)           static_assert(sizeof(type) == (size), #type " size")
#define X86_FIELD(type, field, offset) static_assert(FIELD_OFFSET(type, field) == (offset), #type "." #field)

X86_SIZE(LARGE_INTEGER, 8);
static_assert(alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER alignment");
static_assert(alignof(LONGLONG) == 8, "LONGLONG alignment");
X86_SIZE(UNICODE_STRING, 8);
X86_FIELD(UNICODE_STRING, Buffer, 4);
X86_SIZE(LIST_ENTRY, 8);
X86_SIZE(GUID, 16);
X86_SIZE(IO_STATUS_BLOCK, 8);
X86_FIELD(IO_STATUS_BLOCK, Information, 4);

X86_SIZE(DISPATCHER_HEADER, 16);
X86_FIELD(DISPATCHER_HEADER, SignalState, 4);
X86_FIELD(DISPATCHER_HEADER, WaitListHead, 8);
X86_SIZE(KEVENT, 16);
X86_SIZE(KSEMAPHORE, 20);
X86_FIELD(KSEMAPHORE, Limit, 16);
X86_SIZE(KMUTEX, 32);
X86_FIELD(KMUTEX, MutantListEntry, 16);
X86_FIELD(KMUTEX, OwnerThread, 24);
X86_FIELD(KMUTEX, Abandoned, 28);
X86_SIZE(KDEVICE_QUEUE, 20);
X86_SIZE(KDPC, 32);
X86_SIZE(KAPC, 48);
X86_SIZE(WAIT_CONTEXT_BLOCK, 40);

X86_SIZE(IRP, 112);
X86_FIELD(IRP, MdlAddress, 4);
X86_FIELD(IRP, Flags, 8);
X86_FIELD(IRP, AssociatedIrp.SystemBuffer, 12);
X86_FIELD(IRP, IoStatus, 24);
X86_FIELD(IRP, RequestorMode, 32);
X86_FIELD(IRP, PendingReturned, 33);
X86_FIELD(IRP, StackCount, 34);
X86_FIELD(IRP, CurrentLocation, 35);
X86_FIELD(IRP, Cancel, 36);
X86_FIELD(IRP, Overlay, 48);
X86_FIELD(IRP, CancelRoutine, 56);
X86_FIELD(IRP, UserBuffer, 60);
X86_FIELD(IRP, Tail.Overlay.Thread, 80);
X86_FIELD(IRP, Tail.Overlay.CurrentStackLocation, 96);
X86_FIELD(IRP, Tail.Overlay.OriginalFileObject, 100);

X86_SIZE(IO_STACK_LOCATION, 36);
X86_FIELD(IO_STACK_LOCATION, Control, 3);
X86_FIELD(IO_STACK_LOCATION, Parameters, 4);
X86_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 12);
X86_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 16);
X86_FIELD(IO_STACK_LOCATION, Parameters.WMI.Buffer, 16);
X86_FIELD(IO_STACK_LOCATION, Parameters.Power.Type, 8);
X86_FIELD(IO_STACK_LOCATION, Parameters.Power.State, 12);
X86_FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType, 16);
X86_FIELD(IO_STACK_LOCATION, DeviceObject, 20);
X86_FIELD(IO_STACK_LOCATION, FileObject, 24);
X86_FIELD(IO_STACK_LOCATION, CompletionRoutine, 28);
X86_FIELD(IO_STACK_LOCATION, Context, 32);

X86_SIZE(FILE_OBJECT, 128);
X86_FIELD(FILE_OBJECT, DeviceObject, 4);
X86_FIELD(FILE_OBJECT, FsContext, 12);
X86_FIELD(FILE_OBJECT, Flags, 44);
X86_FIELD(FILE_OBJECT, FileName, 48);
X86_FIELD(FILE_OBJECT, CurrentByteOffset, 56);

X86_SIZE(IO_REMOVE_LOCK, 24);
X86_FIELD(IO_REMOVE_LOCK, Common.IoCount, 4);
X86_FIELD(IO_REMOVE_LOCK, Common.RemoveEvent, 8);

X86_SIZE(DEVICE_OBJECT, 184);
X86_FIELD(DEVICE_OBJECT, DriverObject, 8);
X86_FIELD(DEVICE_OBJECT, NextDevice, 12);
X86_FIELD(DEVICE_OBJECT, AttachedDevice, 16);
X86_FIELD(DEVICE_OBJECT, Flags, 28);
X86_FIELD(DEVICE_OBJECT, Characteristics, 32);
X86_FIELD(DEVICE_OBJECT, DeviceExtension, 40);
X86_FIELD(DEVICE_OBJECT, DeviceType, 44);
X86_FIELD(DEVICE_OBJECT, StackSize, 48);
X86_FIELD(DEVICE_OBJECT, AlignmentRequirement, 92);
X86_FIELD(DEVICE_OBJECT, DeviceQueue, 96);
X86_FIELD(DEVICE_OBJECT, Dpc, 116);
X86_FIELD(DEVICE_OBJECT, DeviceLock, 156);
X86_FIELD(DEVICE_OBJECT, DeviceObjectExtension, 176);

X86_SIZE(DRIVER_OBJECT, 168);
X86_FIELD(DRIVER_OBJECT, DeviceObject, 4);
X86_FIELD(DRIVER_OBJECT, DriverExtension, 24);
X86_FIELD(DRIVER_OBJECT, DriverName, 28);
X86_FIELD(DRIVER_OBJECT, DriverInit, 44);
X86_FIELD(DRIVER_OBJECT, DriverUnload, 52);
X86_FIELD(DRIVER_OBJECT, MajorFunction, 56);
X86_SIZE(DRIVER_EXTENSION, 20);
X86_FIELD(DRIVER_EXTENSION, AddDevice, 4);
X86_FIELD(DRIVER_EXTENSION, ServiceKeyName, 12);

X86_SIZE(IO_ERROR_LOG_PACKET, 48);
X86_FIELD(IO_ERROR_LOG_PACKET, DeviceOffset, 32);
X86_FIELD(IO_ERROR_LOG_PACKET, DumpData, 40);

X86_SIZE(RTL_QUERY_REGISTRY_TABLE, 28);
X86_FIELD(RTL_QUERY_REGISTRY_TABLE, Flags, 4);
X86_FIELD(RTL_QUERY_REGISTRY_TABLE, EntryContext, 12);
X86_FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultType, 16);
X86_FIELD(RTL_QUERY_REGISTRY_TABLE, DefaultLength, 24);
X86_SIZE(OBJECT_ATTRIBUTES, 24);
X86_FIELD(OBJECT_ATTRIBUTES, ObjectName, 8);
X86_FIELD(OBJECT_ATTRIBUTES, SecurityQualityOfService, 20);
X86_SIZE(CLIENT_ID, 8);

X86_SIZE(WMIGUIDREGINFO, 12);
X86_SIZE(WMILIB_CONTEXT, 32);
X86_FIELD(WMILIB_CONTEXT, QueryWmiRegInfo, 8);
X86_FIELD(WMILIB_CONTEXT, WmiFunctionControl, 28);
X86_SIZE(WMIREGGUIDW, 28);
X86_FIELD(WMIREGGUIDW, InstanceInfo, 24);
X86_FIELD(WMIREGINFOW, GuidCount, 16);
X86_FIELD(WMIREGINFOW, WmiRegGuid, 20);
X86_SIZE(WNODE_HEADER, 48);
X86_FIELD(WNODE_HEADER, TimeStamp, 16);
X86_FIELD(WNODE_HEADER, Guid, 24);
X86_FIELD(WNODE_HEADER, Flags, 44);
X86_SIZE(WNODE_ALL_DATA, 72);
X86_FIELD(WNODE_ALL_DATA, FixedInstanceSize, 60);
X86_FIELD(WNODE_SINGLE_INSTANCE, VariableData, 64);
X86_FIELD(WNODE_SINGLE_ITEM, VariableData, 68);
X86_FIELD(WNODE_METHOD_ITEM, VariableData, 68);
X86_SIZE(WNODE_TOO_SMALL, 56);
X86_FIELD(WNODE_TOO_SMALL, SizeNeeded, 48);

#undef X86_SIZE
#undef X86_FIELD

#endif // __i386__
