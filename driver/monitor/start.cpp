/*++

Module Name:

    start.cpp

Abstract:

    StartDevice: brings monitoring up when the device starts. The hardware
    layers come first (a missing chip fails the start before anything else
    happens), then the configuration, the optional start-up of the PWM
    outputs, the records, the FWP mode signal and the monitor thread.

Environment:

    Kernel mode only, passive level, on the Plug and Play start path.

--*/

#include "control/records.h"
#include "eventlog/eventlog.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"
#include "monitor/config.h"
#include "monitor/monitor.h"

typedef struct _RECORD_NAME {
    ULONG First;  // sensor type, or control class
    ULONG Second; // sensor id, or control index
} RECORD_NAME;

//
// The stored control records, in storage order.
//
static const RECORD_NAME StoredControls[CONTROL_COUNT] = {
    {1, 1}, {5, 6}, {9, 18}, {2, 2}, {2, 3}, {2, 4}, {2, 5}, {3, 2},
    {3, 3}, {3, 4}, {3, 5},  {4, 2}, {4, 3}, {4, 4}, {4, 5},
};

//
// The sensors, in the logical order of Sensors.
//
static const RECORD_NAME LogicalSensors[SENSOR_COUNT] = {
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER},        {SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU},       {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE}, {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP},          {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V18},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33},           {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12},           {SENSOR_TYPE_VOLTAGE, SENSOR_ID_AUX},
};

#define CONTROL_ITEM_FWP 14 // (9, 18), last in (class, index) order

static ULONG FanStartupGroup(const FAN_CONTROL_PROFILE* Profile)
{
    return (Profile->Mode & FAN_MODE_CONTROLLER) ? SIO_FAN_INIT_AUTO : SIO_FAN_INIT;
}

/*++

Routine Description:

    Start-up of the PWM outputs: output 3 (brightness) first, since its
    start-up takes the fans' bits out of the fan-control main register, then
    the Rear Upper and Rear Bottom fans, each with its automatic-control
    parameters when it runs in controller mode.

Return Value:

    STATUS_SUCCESS, or the first failing command's status.

--*/
static NTSTATUS StartOutputs(PDEVICE_EXTENSION Extension)
{
    ULONG scratch = 0;
    NTSTATUS status;

    status = SioCommand(SIO_BRIGHTNESS_INIT, SIO_ITEM_PWM3, &scratch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SioCommand(FanStartupGroup(&Extension->FanProfile[0]), SIO_ITEM_FAN1, &scratch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SioCommand(FanStartupGroup(&Extension->FanProfile[1]), SIO_ITEM_FAN2, &scratch);
}

/*++

Routine Description:

    Brings monitoring up. Started is set first and stays set whatever
    happens; a second call while it is set does nothing.

Return Value:

    STATUS_SUCCESS; the status of a failed hardware initialization or
    start-up command. Failures of record reads, of the FWP signal and of the
    thread creation are not reported: the device then runs with what it has.

--*/
NTSTATUS StartDevice(PDEVICE_EXTENSION Extension)
{
    NTSTATUS status;

    if (Extension->Started) {
        return STATUS_SUCCESS;
    }
    g_DeviceExtension = Extension;
    Extension->Started = 1;

    status = SioInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ChipsetInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SmbusSensorInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    Extension->MonitorThreadObject = NULL;
    WriteUCharNoFence(&Extension->StopMonitor, 0);

    LoadConfiguration(Extension);

    if (Extension->FanControlInit) {
        status = StartOutputs(Extension);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    LinkRecordTables(Extension);
    for (ULONG i = 0; i < CONTROL_COUNT; i++) {
        InitControlRecord(Extension, &Extension->ControlRecords[i], StoredControls[i].First,
                          StoredControls[i].Second);
    }
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        InitSensorRecord(Extension, Extension->Sensors[i], LogicalSensors[i].First, LogicalSensors[i].Second);
    }

    SetControlRecord(Extension->ControlItems[CONTROL_ITEM_FWP],
                     Extension->FwpMode ? VALUE_FWP_LOW : VALUE_FWP_HIGH);

    CreateMonitorThread(Extension);

    WriteEventLogEntry(NULL, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_STARTED, NULL);
    return STATUS_SUCCESS;
}
