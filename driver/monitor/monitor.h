/*++

Module Name:

    monitor.h

Abstract:

    Monitoring: the device start that brings the hardware, configuration,
    records and monitor thread up; the monitor thread with its threshold
    evaluation; and fan speed control.

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

//
// FAN_CONTROL_PROFILE.Mode: temperature sources of stage mode, and
// controller mode with its three codes.
//
#define FAN_MODE_CPU        0x0001
#define FAN_MODE_SYSTEM     0x0002
#define FAN_MODE_BACKPLANE  0x0004
#define FAN_MODE_VRM        0x0008
#define FAN_MODE_CONTROLLER 0x8000

NTSTATUS StartDevice(PDEVICE_EXTENSION Extension);

NTSTATUS CreateMonitorThread(PDEVICE_EXTENSION Extension);
VOID NTAPI MonitorThread(PVOID Context);
VOID EvaluateSensors(PDEVICE_EXTENSION Extension);

VOID ControlFanSpeed(PDEVICE_EXTENSION Extension);
