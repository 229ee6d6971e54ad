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
// The device's Plug and Play state. Requests from user mode and WMI are
// admitted only while it is PnpStarted. A query moves the device to a
// pending state and its cancel restores the state before the query; a
// surprise-removed device stays so until its removal.
//
typedef enum _DEVICE_PNP_STATE {
    PnpNotStarted = 0, // added, never started, or its start failed
    PnpStarted,
    PnpStopPending,     // query-stop passed
    PnpStopped,         // a started device's remove lock is closed for good
    PnpRemovePending,   // query-remove passed
    PnpSurpriseRemoved, // gone from the bus: link and interface removed
    PnpDeleted          // the removal request is tearing it down
} DEVICE_PNP_STATE;

//
// The one per-device state record. Fields that more than one thread touches
// say who writes them and how they are read; the Plug and Play manager sends
// its requests one at a time, so what only they touch needs no lock.
//
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    UNICODE_STRING InterfaceName;
    UCHAR Started; // StartDevice sets it, ReportDeviceStopped clears it; Plug and Play only
    // Written with PnpState by SetPnpState alone (1 unless PnpStarted); read without a lock by the create,
    // device-control and WMI dispatch routines, which then take the remove lock.
    UCHAR RejectRequests;
    DEVICE_PNP_STATE PnpState;         // Plug and Play requests only
    DEVICE_PNP_STATE PreviousPnpState; // what a cancel-stop or cancel-remove restores
    LONG OpenHandleCount; // interlocked increment by create, decrement by close; read by query-remove
    // Set once by removal (or by a failed thread start) before MonitorSemaphore is released; read by the
    // monitor thread after each wait and between sensors.
    UCHAR StopMonitor;
    PVOID MonitorThreadObject;   // set by the start, cleared by removal after the thread has ended
    KSEMAPHORE MonitorSemaphore; // the monitor thread waits on it; removal releases it once
    IO_REMOVE_LOCK RemoveLock;   // held by every Plug and Play, power, device-control and WMI request
    WMILIB_CONTEXT WmiLibInfo;

    //
    // Records, in storage order, and the references the rest of the driver
    // uses: ControlItems by (class, index), Sensors in logical order
    // (fans, CPU, System, Backplane, VRM, then the six voltages). A sensor
    // record's Value and CurrentValue are written by whichever thread reads
    // the sensor (the monitor, a WMI query) and its CriticalUpper and
    // CriticalLower by the WMI methods, each as one whole 32-bit store
    // (WriteNoFence), and read with ReadNoFence; its counters and band flags
    // are the monitor thread's alone. The control records are written only
    // by the start.
    //
    CONTROL_RECORD ControlRecords[CONTROL_COUNT];
    PCONTROL_RECORD ControlItems[CONTROL_COUNT];
    SENSOR_RECORD SensorRecords[SENSOR_COUNT];
    PSENSOR_RECORD Sensors[SENSOR_COUNT];
    // By storage slot, as SensorRecords: 1 once the sensor has been read successfully (by the start or a
    // poll). Until then its reading is the 0 the start left, and its bands are not evaluated. Set by the
    // start, then the monitor thread's alone.
    UCHAR SensorHasReading[SENSOR_COUNT];

    //
    // Configuration, loaded at every device start before the monitor thread
    // exists; afterwards only read (by the monitor thread, and the
    // brightness table by device-control requests). FanProfile's
    // CurrentStage and CurrentTemp are the monitor thread's alone.
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
