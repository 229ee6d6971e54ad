/*++

Module Name:

    eventlog.cpp

Abstract:

    Writes the driver's entries to the system event log. An entry is an
    error-log packet carrying a message id of the driver's message table,
    optional dump data and insertion strings; the system formats the message
    and records it under the driver's name. Nothing is reported to callers:
    an entry that cannot be written is dropped, leaving nothing allocated.

Environment:

    Kernel mode only, passive level.

--*/

#include "eventlog/eventlog.h"
#include "quavmsg.h"

//
// The object entries are written for when a caller names none: the driver
// object, stored once at driver entry before any other entry is requested.
//
static PVOID EventLogObject;

#define EVENT_SCRATCH_BYTES 32
#define EVENT_ENTRY_LIMIT   152 // the largest entry written
#define EVENT_HEADER_BYTES  48 // the packet up to its first dump-data word, rounded as the kernel lays it out
#define EVENT_TEXT_OFFSET   44
#define EVENT_SENSOR_OFFSET 64
#define EVENT_SENSOR_DUMP   20 // the record's first five words: reserved, type, id, value

//
// Message ids by (kind, level, code); any other combination writes nothing.
// A level of EVENT_LEVEL_ANY matches every level (text entries).
//
#define EVENT_LEVEL_ANY 0xFFFFFFFF

typedef struct _EVENT_SELECTION {
    ULONG Kind;
    ULONG Level;
    ULONG Code;
    NTSTATUS MessageId;
} EVENT_SELECTION;

static const EVENT_SELECTION EventSelections[] = {
    {EVENT_KIND_TEXT, EVENT_LEVEL_ANY, EVENT_CODE_TEXT, QUAV_MSG_TEXT},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_LOGGING_ENABLED, QUAV_MSG_LOGGING_ENABLED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_HANDLE_OPENED, QUAV_MSG_HANDLE_OPENED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_HANDLE_CLOSED, QUAV_MSG_HANDLE_CLOSED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DRIVER_INITIALIZED, QUAV_MSG_DRIVER_INITIALIZED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DRIVER_UNLOADED, QUAV_MSG_DRIVER_UNLOADED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_STARTED, QUAV_MSG_DEVICE_STARTED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_STOPPED, QUAV_MSG_DEVICE_STOPPED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_ADDED, QUAV_MSG_DEVICE_ADDED},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_REMOVING, QUAV_MSG_DEVICE_REMOVING},
    {EVENT_KIND_LIFECYCLE, EVENT_LEVEL_CRITICAL, EVENT_CODE_DRIVER_INIT_FAILED, QUAV_MSG_DRIVER_INIT_FAILED},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_NORMAL, EVENT_CODE_FAN, QUAV_MSG_FAN_NORMAL},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_NORMAL, EVENT_CODE_TEMPERATURE, QUAV_MSG_TEMPERATURE_NORMAL},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_NORMAL, EVENT_CODE_VOLTAGE, QUAV_MSG_VOLTAGE_NORMAL},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_WARNING, EVENT_CODE_FAN, QUAV_MSG_FAN_WARNING},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_WARNING, EVENT_CODE_TEMPERATURE, QUAV_MSG_TEMPERATURE_WARNING},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_WARNING, EVENT_CODE_VOLTAGE, QUAV_MSG_VOLTAGE_WARNING},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_CRITICAL, EVENT_CODE_FAN, QUAV_MSG_FAN_ERROR},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_CRITICAL, EVENT_CODE_TEMPERATURE, QUAV_MSG_TEMPERATURE_ERROR},
    {EVENT_KIND_SENSOR, EVENT_LEVEL_CRITICAL, EVENT_CODE_VOLTAGE, QUAV_MSG_VOLTAGE_ERROR},
};

//
// Sensor names by event code and sensor id, with the nominal voltage of each
// rail, which decides between the "too high" and "too low" voltage messages.
//
typedef struct _EVENT_SENSOR_NAME {
    ULONG Code;
    ULONG SensorId;
    PCWSTR Name;
    ULONG NominalMillivolts;
} EVENT_SENSOR_NAME;

static const EVENT_SENSOR_NAME EventSensorNames[] = {
    {EVENT_CODE_FAN, SENSOR_ID_REAR_UPPER, WSTR("Rear Upper"), 0},
    {EVENT_CODE_FAN, SENSOR_ID_REAR_BOTTOM, WSTR("Rear Bottom"), 0},
    {EVENT_CODE_TEMPERATURE, SENSOR_ID_CPU, WSTR("CPU"), 0},
    {EVENT_CODE_TEMPERATURE, SENSOR_ID_SYSTEM, WSTR("System"), 0},
    {EVENT_CODE_TEMPERATURE, SENSOR_ID_BACKPLANE, WSTR("Backplane"), 0},
    {EVENT_CODE_TEMPERATURE, SENSOR_ID_VRM, WSTR("VRM"), 0},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_VCCP, WSTR("VCCP"), 1192},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_V18, WSTR("1.8V"), 1800},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_V33, WSTR("3.3V"), 3300},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_V5, WSTR("5V"), 5000},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_V12, WSTR("12V"), 12000},
    {EVENT_CODE_VOLTAGE, SENSOR_ID_AUX, WSTR("AUX"), 5000},
};

static NTSTATUS SelectMessage(ULONG Kind, ULONG Level, ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(EventSelections); i++) {
        const EVENT_SELECTION* s = &EventSelections[i];
        if (s->Kind == Kind && s->Code == Code && (s->Level == Level || s->Level == EVENT_LEVEL_ANY)) {
            return s->MessageId;
        }
    }
    return 0;
}

static const EVENT_SENSOR_NAME* FindSensorName(ULONG Code, ULONG SensorId)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(EventSensorNames); i++) {
        if (EventSensorNames[i].Code == Code && EventSensorNames[i].SensorId == SensorId) {
            return &EventSensorNames[i];
        }
    }
    return NULL;
}

/*++

Routine Description:

    The voltage messages that combine "too high or too low" (critical) and
    "upper or low threshold" (warning) are refined by comparing the reading
    with the rail's nominal voltage, as unsigned numbers: above it is the
    high message, at or below it the low one.

--*/
static NTSTATUS RefineVoltageMessage(NTSTATUS MessageId, const SENSOR_RECORD* Record)
{
    const EVENT_SENSOR_NAME* rail;
    BOOLEAN high;

    if (MessageId != QUAV_MSG_VOLTAGE_ERROR && MessageId != QUAV_MSG_VOLTAGE_WARNING) {
        return MessageId;
    }
    rail = FindSensorName(EVENT_CODE_VOLTAGE, Record->SensorId);
    if (rail == NULL) {
        return MessageId;
    }
    high = (ULONG)Record->Value > rail->NominalMillivolts;
    if (MessageId == QUAV_MSG_VOLTAGE_ERROR) {
        return high ? QUAV_MSG_VOLTAGE_ERROR_HIGH : QUAV_MSG_VOLTAGE_ERROR_LOW;
    }
    return high ? QUAV_MSG_VOLTAGE_WARNING_HIGH : QUAV_MSG_VOLTAGE_WARNING_LOW;
}

/*++

Routine Description:

    Remembers the driver object as the object entries are written for, then
    writes "Event logging enabled for QUAV Driver.".

--*/
VOID InitEventLog(PVOID DriverObject)
{
    EventLogObject = DriverObject;
    WriteEventLogEntry(DriverObject, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_LOGGING_ENABLED,
                       NULL);
}

/*++

Routine Description:

    Writes one entry to the system event log.

Arguments:

    IoObject - the driver or device object the entry is written for; NULL
        means the driver object remembered by InitEventLog.

    EntryKind - EVENT_KIND_TEXT, EVENT_KIND_LIFECYCLE or EVENT_KIND_SENSOR.

    EventLevel - EVENT_LEVEL_NORMAL, _WARNING or _CRITICAL (not consulted
        for text entries).

    EventCode - EVENT_CODE_TEXT; a life-cycle code; or the sensor event code
        of the record's type.

    Data - text entry: a zero-terminated wide text; sensor entry: the
        subject SENSOR_RECORD; otherwise unused.

--*/
VOID WriteEventLogEntry(PVOID IoObject, ULONG EntryKind, ULONG EventLevel, ULONG EventCode, PVOID Data)
{
    PWCHAR name;
    PWCHAR value;
    PIO_ERROR_LOG_PACKET packet;
    const SENSOR_RECORD* record = (const SENSOR_RECORD*)Data;
    const EVENT_SENSOR_NAME* sensor;
    NTSTATUS messageId;
    ULONG size;
    ULONG nameLength = 0;

    name = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, EVENT_SCRATCH_BYTES, EVENT_SCRATCH_TAG);
    value = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, EVENT_SCRATCH_BYTES, EVENT_SCRATCH_TAG);
    if (name == NULL || value == NULL) {
        goto Done;
    }
    RtlZeroMemory(name, EVENT_SCRATCH_BYTES);
    RtlZeroMemory(value, EVENT_SCRATCH_BYTES);

    if (IoObject == NULL) {
        IoObject = EventLogObject;
    }
    if (IoObject == NULL) {
        goto Done;
    }
    messageId = SelectMessage(EntryKind, EventLevel, EventCode);
    if (messageId == 0 || (EntryKind != EVENT_KIND_LIFECYCLE && Data == NULL)) {
        goto Done;
    }

    switch (EntryKind) {
        case EVENT_KIND_TEXT:
            size = 50 + 2 * (ULONG)wcslen((const WCHAR*)Data);
            break;
        case EVENT_KIND_SENSOR:
            messageId = RefineVoltageMessage(messageId, record);
            sensor = FindSensorName(EventCode, record->SensorId);
            if (sensor != NULL) {
                wcscpy(name, sensor->Name);
                swprintf(value, WSTR("%d"), (int)record->Value);
            }
            nameLength = (ULONG)wcslen(name);
            size = 72 + 2 * (nameLength + (ULONG)wcslen(value));
            break;
        default:
            size = EVENT_HEADER_BYTES;
            break;
    }
    if (size > EVENT_ENTRY_LIMIT) {
        goto Done;
    }

    packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, (UCHAR)size);
    if (packet == NULL) {
        goto Done;
    }
    RtlZeroMemory(packet, EVENT_HEADER_BYTES);
    packet->ErrorCode = messageId;
    switch (EntryKind) {
        case EVENT_KIND_TEXT:
            packet->NumberOfStrings = 1;
            packet->StringOffset = EVENT_TEXT_OFFSET;
            wcscpy((PWCHAR)((PUCHAR)packet + EVENT_TEXT_OFFSET), (const WCHAR*)Data);
            break;
        case EVENT_KIND_SENSOR:
            packet->DumpDataSize = EVENT_SENSOR_DUMP;
            packet->NumberOfStrings = 2;
            packet->StringOffset = EVENT_SENSOR_OFFSET;
            RtlCopyMemory(packet->DumpData, record, EVENT_SENSOR_DUMP);
            wcscpy((PWCHAR)((PUCHAR)packet + EVENT_SENSOR_OFFSET), name);
            wcscpy((PWCHAR)((PUCHAR)packet + EVENT_SENSOR_OFFSET) + nameLength + 1, value);
            break;
        default:
            packet->StringOffset = EVENT_TEXT_OFFSET;
            break;
    }
    IoWriteErrorLogEntry(packet);

Done:
    if (name != NULL) {
        ExFreePool(name);
    }
    if (value != NULL) {
        ExFreePool(value);
    }
}
