/*++

Module Name:

    records.h

Abstract:

    Sensor and control records: a record names its sensor by type and id, or
    its signal item by class and index; these operations turn the numbers
    into commands of the Super I/O, the chipset GPIO port or the SMBus
    sensor, and the raw results into readings and value codes. They work on
    any record: the driver's own, or a caller's copy from a device-control
    request (whose ThresholdSet word is never followed).

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

VOID LinkRecordTables(PDEVICE_EXTENSION Extension);
VOID InitStoredRecords(PDEVICE_EXTENSION Extension);
VOID LinkControlItems(PDEVICE_EXTENSION Extension);
VOID InitStoredControls(PDEVICE_EXTENSION Extension);
PCONTROL_RECORD FwpModeRecord(PDEVICE_EXTENSION Extension);

NTSTATUS InitSensorRecord(PDEVICE_EXTENSION Extension, PSENSOR_RECORD Record, ULONG SensorType,
                          ULONG SensorId);
NTSTATUS ReadSensorRecord(PSENSOR_RECORD Record);
NTSTATUS SetFanPwm(PSENSOR_RECORD Record, ULONG Pwm);

NTSTATUS InitControlRecord(PDEVICE_EXTENSION Extension, PCONTROL_RECORD Record, ULONG ControlClass,
                           ULONG ControlIndex);
NTSTATUS ReadControlRecord(PCONTROL_RECORD Record);
NTSTATUS SetControlRecord(PCONTROL_RECORD Record, ULONG ValueCode);
