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
