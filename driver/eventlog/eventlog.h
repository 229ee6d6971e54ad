/*++

Module Name:

    eventlog.h

Abstract:

    The driver's one event writer: life-cycle and sensor entries in the
    system event log, through the kernel's error-log packets and the
    driver's message table (quavmsg.mc).

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

//
// Entry kinds and levels of WriteEventLogEntry.
//
#define EVENT_KIND_TEXT      0
#define EVENT_KIND_LIFECYCLE 1
#define EVENT_KIND_SENSOR    2

#define EVENT_LEVEL_NORMAL   0
#define EVENT_LEVEL_WARNING  1
#define EVENT_LEVEL_CRITICAL 3

//
// Event codes: text; life cycle; sensor events by sensor type.
//
#define EVENT_CODE_TEXT               1
#define EVENT_CODE_LOGGING_ENABLED    2
#define EVENT_CODE_HANDLE_OPENED      3
#define EVENT_CODE_HANDLE_CLOSED      4
#define EVENT_CODE_DRIVER_INITIALIZED 5
#define EVENT_CODE_DRIVER_UNLOADED    6
#define EVENT_CODE_DRIVER_INIT_FAILED 7
#define EVENT_CODE_DEVICE_STARTED     8
#define EVENT_CODE_DEVICE_STOPPED     9
#define EVENT_CODE_DEVICE_ADDED       10
#define EVENT_CODE_DEVICE_REMOVING    11
#define EVENT_CODE_FAN                12
#define EVENT_CODE_TEMPERATURE        13
#define EVENT_CODE_VOLTAGE            14

//
// Pool tag of the writer's scratch buffers: the bytes "Wdm " in memory order.
//
#define EVENT_SCRATCH_TAG 0x206D6457

VOID InitEventLog(PVOID DriverObject);
VOID WriteEventLogEntry(PVOID IoObject, ULONG EntryKind, ULONG EventLevel, ULONG EventCode, PVOID Data);
