/*++

Module Name:

    io.h

Abstract:

    The I/O manager's objects as the driver holds them: device objects and
    requests (reached through pointers) and the remove lock (held inline in
    the device extension).

--*/

#pragma once

#include "ke.h"

typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _IRP IRP, *PIRP;

//
// Remove lock: a count of holders; once drained and closed every acquire
// fails with STATUS_DELETE_PENDING.
//
typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK {
    BOOLEAN Removed;
    BOOLEAN Reserved[3];
    LONG IoCount;
    KEVENT RemoveEvent;
} IO_REMOVE_LOCK_COMMON_BLOCK;

typedef struct _IO_REMOVE_LOCK {
    IO_REMOVE_LOCK_COMMON_BLOCK Common;
    ULONG AllocateTag;
    LONG MaxLockedMinutes;
    LONG HighWatermark;
} IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;

//
// Error log packet, laid out as the 32-bit kernel lays it out. It holds no
// pointers, so the layout is the same on every build: 0x30 bytes with the
// dump data at 0x28. The entry a driver allocates is this header followed by
// DumpDataSize bytes of dump data and, at StringOffset, NumberOfStrings
// NUL-terminated insertion strings (%2, %3, ... of the message; %1 is the
// name of the object the entry was allocated for).
//
typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

C_ASSERT(sizeof(IO_ERROR_LOG_PACKET) == 0x30);
C_ASSERT(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 0x28);

// The largest entry IoAllocateErrorLogEntry hands out, header included.
#define ERROR_LOG_MAXIMUM_SIZE 240

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
NTSYSAPI VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);

#ifdef __cplusplus
}
#endif
