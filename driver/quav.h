/*++

Module Name:

    quav.h

Abstract:

    The QUAV driver's chief header: what every module of the driver shares.
    The driver watches the board's fans, temperatures and voltages through an
    IT87-family Super I/O and the SMBus of the south bridge, and drives the
    fans and board signals.

Environment:

    Kernel mode only.

--*/

#pragma once

#include "platform.h"
#include "quavpub.h"

//
// Value codes of one board signal, shared by the Super I/O pins and the
// chipset's general-purpose signals. The bit primitives underneath take and
// report the levels 1 (bit clear) and 2 (bit set).
//
#define CODE_LEVEL_LOW  0x4001
#define CODE_LEVEL_HIGH 0x4002

#define BRIGHTNESS_LEVELS 10
#define FAN_STAGES        10
#define FAN_CHECK_POINTS  9
#define FAN_PROFILES      2

//
// The four limits of one sensor, in its unit; compared signed.
//
typedef struct _THRESHOLD_SET {
    LONG WarnUpper;
    LONG WarnLower;
    LONG CritUpper;
    LONG CritLower;
} THRESHOLD_SET, *PTHRESHOLD_SET;

//
// One fan's control settings (from the registry) and state.
//
typedef struct _FAN_CONTROL_PROFILE {
    ULONG Mode;                            // source bits 0-3; bit 15: controller mode
    ULONG CurrentStage;                    // 0-9; a larger loaded value is resolved at the first poll
    LONG CurrentTemp;                      // the temperature the last poll controlled on
    ULONG Pwm[FAN_STAGES];                 // PWM value of each stage
    LONG TempCheckPoint[FAN_CHECK_POINTS]; // stage n moves up to n + 1 at check point n
    LONG TempCushion;                      // hysteresis for moving down
} FAN_CONTROL_PROFILE, *PFAN_CONTROL_PROFILE;

//
// The one per-device state record.
//
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    UNICODE_STRING InterfaceName;
    UCHAR Started;
    UCHAR RejectRequests;
    LONG OpenHandleCount;
    UCHAR StopMonitor;
    PVOID MonitorThreadObject;
    KSEMAPHORE MonitorSemaphore;
    IO_REMOVE_LOCK RemoveLock;
    WMILIB_CONTEXT WmiLibInfo;

    //
    // Records, in storage order, and the references the rest of the driver
    // uses: ControlItems by (class, index), Sensors in logical order
    // (fans, CPU, System, Backplane, VRM, then the six voltages).
    //
    CONTROL_RECORD ControlRecords[CONTROL_COUNT];
    PCONTROL_RECORD ControlItems[CONTROL_COUNT];
    SENSOR_RECORD SensorRecords[SENSOR_COUNT];
    PSENSOR_RECORD Sensors[SENSOR_COUNT];

    //
    // Configuration, loaded at every device start.
    //
    ULONG BrightnessLevel[BRIGHTNESS_LEVELS];
    ULONG PublishCurrent;
    ULONG FanControlInit;
    ULONG WarningEventLog;
    ULONG CriticalEventLog;
    ULONG FwpMode;
    THRESHOLD_SET Thresholds[SENSOR_COUNT]; // by logical sensor slot, as Sensors
    FAN_CONTROL_PROFILE FanProfile[FAN_PROFILES];
    LONGLONG PollInterval; // relative, in 100 ns units
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

//
// The one device's extension, set by the device start; the control-record
// operations reach the brightness table through it.
//
extern PDEVICE_EXTENSION g_DeviceExtension;

//
// The driver's copy of its service key path, handed to WMI as its registry
// path. Set by DriverEntry, freed by DriverUnload.
//
extern UNICODE_STRING RegistryPathCopy;

#define REMOVE_LOCK_TAG   0x54524F50 // the bytes "PORT" in memory order
#define REGISTRY_PATH_TAG 0x52454750 // "PGER"
