/*++

Module Name:

    monitor.cpp

Abstract:

    The monitor thread: it sleeps for the polling interval, then reads every
    sensor, publishes the readings, writes an event whenever a sensor leaves
    or re-enters its warning or critical band, and runs fan control; until
    the removal of the device tells it to end.

    The bands are edge-triggered: one entry when a reading leaves a band, one
    when it comes back, nothing while it stays out.

Environment:

    Kernel mode only, passive level.

--*/

#include "control/records.h"
#include "eventlog/eventlog.h"
#include "monitor/config.h"
#include "monitor/monitor.h"

#define CURRENT_FAN_KEY     QUAV_SERVICE_KEY WSTR("\\Current\\FAN")
#define CURRENT_THERMAL_KEY QUAV_SERVICE_KEY WSTR("\\Current\\THERMAL")
#define CURRENT_VOLTAGE_KEY QUAV_SERVICE_KEY WSTR("\\Current\\VOLTAGE")

//
// Where each sensor's reading is published, and its sensor event code.
//
typedef struct _CURRENT_VALUE {
    ULONG Type;
    ULONG Id;
    PCWSTR Key;
    PCWSTR Name;
} CURRENT_VALUE;

static const CURRENT_VALUE CurrentValues[] = {
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER, CURRENT_FAN_KEY, WSTR("FAN_REAR_UPPER")},
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM, CURRENT_FAN_KEY, WSTR("FAN_REAR_BOTTOM")},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, CURRENT_THERMAL_KEY, WSTR("CPU")},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM, CURRENT_THERMAL_KEY, WSTR("SYSTEM")},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE, CURRENT_THERMAL_KEY, WSTR("BackPlane")},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM, CURRENT_THERMAL_KEY, WSTR("VRM")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP, CURRENT_VOLTAGE_KEY, WSTR("VCCP")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V18, CURRENT_VOLTAGE_KEY, WSTR("18V")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33, CURRENT_VOLTAGE_KEY, WSTR("33V")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5, CURRENT_VOLTAGE_KEY, WSTR("5V")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12, CURRENT_VOLTAGE_KEY, WSTR("12V")},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_AUX, CURRENT_VOLTAGE_KEY, WSTR("AUX")},
};

//
// One band of a sensor: its limits, its state flag and counters.
//
typedef struct _SENSOR_BAND {
    LONG Upper;
    LONG Lower;
    PUCHAR Active;
    PULONG UpperCount;
    PULONG LowerCount;
    ULONG Level;
} SENSOR_BAND;

CODE_SEG("PAGE") static BOOLEAN IsErrorStatus(NTSTATUS Status)
{
    PAGED_CODE();

    return ((ULONG)Status >> 30) == 3;
}

CODE_SEG("PAGE") static VOID AskMonitorToStop(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    if (!ReadUCharNoFence(&Extension->StopMonitor)) {
        WriteUCharNoFence(&Extension->StopMonitor, 1);
        KeReleaseSemaphore(&Extension->MonitorSemaphore, 0, 1, FALSE);
    }
}

/*++

Routine Description:

    Starts MonitorThread and keeps a reference to its thread object, so that
    removal can wait for the thread to end.

Return Value:

    The status of the thread creation if it failed with an error, else that
    of taking the reference. When the reference cannot be taken the new
    thread is told to end at once.

--*/
CODE_SEG("PAGE") NTSTATUS CreateMonitorThread(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;
    NTSTATUS status;

    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, MonitorThread, Extension);
    if (IsErrorStatus(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                       &Extension->MonitorThreadObject, NULL);
    if (IsErrorStatus(status)) {
        AskMonitorToStop(Extension);
    }
    ZwClose(handle);
    return status;
}

/*++

Routine Description:

    The monitor thread. The interval runs from the end of one poll to the
    start of the next; a release of MonitorSemaphore ends the wait early
    without a poll. The thread ends when it finds StopMonitor set after a
    wait.

--*/
VOID NTAPI MonitorThread(PVOID Context)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)Context;
    LARGE_INTEGER timeout;
    NTSTATUS status;

    do {
        timeout.QuadPart = extension->PollInterval;
        status =
            KeWaitForSingleObject(&extension->MonitorSemaphore, UserRequest, KernelMode, FALSE, &timeout);
        if (status == STATUS_TIMEOUT) {
            EvaluateSensors(extension);
            ControlFanSpeed(extension);
        }
    } while (!ReadUCharNoFence(&extension->StopMonitor));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

static ULONG SensorEventCode(ULONG SensorType)
{
    switch (SensorType) {
        case SENSOR_TYPE_FAN:
            return EVENT_CODE_FAN;
        case SENSOR_TYPE_TEMPERATURE:
            return EVENT_CODE_TEMPERATURE;
        case SENSOR_TYPE_VOLTAGE:
            return EVENT_CODE_VOLTAGE;
        default:
            return 0;
    }
}

static VOID WriteSensorEvent(PSENSOR_RECORD Record, ULONG Level)
{
    ULONG code = SensorEventCode(Record->SensorType);

    if (code == 0) {
        WriteEventLogEntry(NULL, EVENT_KIND_TEXT, EVENT_LEVEL_NORMAL, EVENT_CODE_TEXT,
                           (PVOID)WSTR("Unknown Error"));
    } else {
        WriteEventLogEntry(NULL, EVENT_KIND_SENSOR, Level, code, Record);
    }
}

/*++

Routine Description:

    Moves one band's two-state machine: normal to active when the reading
    leaves the band (strictly above the upper or below the lower limit),
    with an entry of the band's level and one counter step; active to normal
    when it comes back, with a level-0 entry.

--*/
static VOID EvaluateBand(PSENSOR_RECORD Record, const SENSOR_BAND* Band)
{
    LONG value = ReadNoFence(&Record->CurrentValue);
    BOOLEAN above = value > Band->Upper;
    BOOLEAN below = value < Band->Lower;

    if ((above || below) && *Band->Active == 0) {
        WriteSensorEvent(Record, Band->Level);
        if (above) {
            (*Band->UpperCount)++;
        }
        if (below) {
            (*Band->LowerCount)++;
        }
        *Band->Active = 1;
    } else if (!above && !below && *Band->Active == 1) {
        WriteSensorEvent(Record, EVENT_LEVEL_NORMAL);
        *Band->Active = 0;
    }
}

static const CURRENT_VALUE* FindCurrentValue(const SENSOR_RECORD* Record)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(CurrentValues); i++) {
        if (CurrentValues[i].Type == Record->SensorType && CurrentValues[i].Id == Record->SensorId) {
            return &CurrentValues[i];
        }
    }
    return NULL;
}

/*++

Routine Description:

    One evaluation pass over the twelve stored sensor records, in storage
    order. A failed read leaves the previous reading, which is published and
    evaluated as if new; a record that has never been read successfully is
    published but not evaluated. A stop request ends the pass before the
    next record.

--*/
VOID EvaluateSensors(PDEVICE_EXTENSION Extension)
{
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        PSENSOR_RECORD record = &Extension->SensorRecords[i];
        const CURRENT_VALUE* current;
        const THRESHOLD_SET* limits;

        if (ReadUCharNoFence(&Extension->StopMonitor)) {
            return;
        }
        if (NT_SUCCESS(ReadSensorRecord(record))) {
            Extension->SensorHasReading[i] = 1;
        }

        current = FindCurrentValue(record);
        if (Extension->PublishCurrent && current != NULL) {
            WriteRegistryDword(current->Key, current->Name, (ULONG)ReadNoFence(&record->CurrentValue));
        }

        // A sensor never read holds the 0 the start left: a fan whose first read found the controller
        // busy would otherwise be reported as stopped.
        if (record->ThresholdSet >= SENSOR_COUNT || !Extension->SensorHasReading[i]) {
            continue;
        }
        limits = &Extension->Thresholds[record->ThresholdSet];
        if (Extension->WarningEventLog) {
            SENSOR_BAND band = {limits->WarnUpper,          limits->WarnLower,
                                &record->WarningActive,     &record->WarningUpperCount,
                                &record->WarningLowerCount, EVENT_LEVEL_WARNING};
            EvaluateBand(record, &band);
        }
        if (Extension->CriticalEventLog) {
            SENSOR_BAND band = {limits->CritUpper,           limits->CritLower,
                                &record->CriticalActive,     &record->CriticalUpperCount,
                                &record->CriticalLowerCount, EVENT_LEVEL_CRITICAL};
            EvaluateBand(record, &band);
        }
    }
}
