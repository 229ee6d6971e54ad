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

//
// Entry layout. The packet's header is 48 bytes: its first dump-data word
// sits at 40, followed by 4 bytes of padding where a text entry's string
// begins. A sensor entry's 20 bytes of dump data run from 40 to 60, and its
// strings begin at 64. An entry is sized as the header, its dump data and
// each string with its terminator, four bytes more than it fills.
//
#define EVENT_SCRATCH_BYTES 32
#define EVENT_ENTRY_LIMIT   152 // the largest entry written
#define EVENT_HEADER_BYTES  48
#define EVENT_TEXT_OFFSET   44
#define EVENT_SENSOR_DUMP   20 // the record's first five words: reserved, type, id, value
#define EVENT_SENSOR_OFFSET 64

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
CODE_SEG("INIT") VOID InitEventLog(PVOID DriverObject)
{
    EventLogObject = DriverObject;
    WriteEventLogEntry(DriverObject, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_LOGGING_ENABLED,
                       NULL);
}

//
// The bytes of a string of Length UTF-16 units with its terminator.
//
static ULONG StringBytes(SIZE_T Length)
{
    return ((ULONG)Length + 1) * sizeof(WCHAR);
}

//
// A sensor entry's two strings: the sensor's name and its reading in
// decimal, or both empty when the event code has no sensor of that id.
//
static VOID NameSensor(ULONG EventCode, const SENSOR_RECORD* Record, PWCHAR Name, PWCHAR Value)
{
    const EVENT_SENSOR_NAME* sensor = FindSensorName(EventCode, Record->SensorId);

    if (sensor != NULL) {
        wcscpy(Name, sensor->Name);
        swprintf(Value, WSTR("%d"), (int)Record->Value);
    }
}

static ULONG EntrySize(ULONG EntryKind, PVOID Data, PCWSTR Name, PCWSTR Value)
{
    switch (EntryKind) {
        case EVENT_KIND_TEXT:
            return EVENT_HEADER_BYTES + StringBytes(wcslen((const WCHAR*)Data));
        case EVENT_KIND_SENSOR:
            return EVENT_HEADER_BYTES + EVENT_SENSOR_DUMP + StringBytes(wcslen(Name)) +
                   StringBytes(wcslen(Value));
        default:
            return EVENT_HEADER_BYTES;
    }
}

static VOID FillEntry(PIO_ERROR_LOG_PACKET Packet, ULONG EntryKind, PVOID Data, PCWSTR Name, PCWSTR Value)
{
    PWCHAR strings;

    switch (EntryKind) {
        case EVENT_KIND_TEXT:
            Packet->NumberOfStrings = 1;
            Packet->StringOffset = EVENT_TEXT_OFFSET;
            wcscpy((PWCHAR)((PUCHAR)Packet + EVENT_TEXT_OFFSET), (const WCHAR*)Data);
            break;
        case EVENT_KIND_SENSOR:
            Packet->DumpDataSize = EVENT_SENSOR_DUMP;
            Packet->NumberOfStrings = 2;
            Packet->StringOffset = EVENT_SENSOR_OFFSET;
            RtlCopyMemory(Packet->DumpData, Data, EVENT_SENSOR_DUMP);
            strings = (PWCHAR)((PUCHAR)Packet + EVENT_SENSOR_OFFSET);
            wcscpy(strings, Name);
            wcscpy(strings + wcslen(Name) + 1, Value);
            break;
        default:
            Packet->StringOffset = EVENT_TEXT_OFFSET;
            break;
    }
}

/*++

Routine Description:

    Builds and writes one entry whose message is chosen; the scratch
    buffers hold a sensor entry's strings. An entry larger than the limit,
    or one the system has no packet for, is dropped.

--*/
static VOID WriteEntry(PVOID IoObject, ULONG EntryKind, ULONG EventCode, NTSTATUS MessageId, PVOID Data,
                       PWCHAR Name, PWCHAR Value)
{
    PIO_ERROR_LOG_PACKET packet;
    ULONG size;

    if (EntryKind == EVENT_KIND_SENSOR) {
        MessageId = RefineVoltageMessage(MessageId, (const SENSOR_RECORD*)Data);
        NameSensor(EventCode, (const SENSOR_RECORD*)Data, Name, Value);
    }
    size = EntrySize(EntryKind, Data, Name, Value);
    if (size > EVENT_ENTRY_LIMIT) {
        return;
    }
    packet = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, (UCHAR)size);
    if (packet == NULL) {
        return;
    }
    RtlZeroMemory(packet, EVENT_HEADER_BYTES);
    packet->ErrorCode = MessageId;
    FillEntry(packet, EntryKind, Data, Name, Value);
    IoWriteErrorLogEntry(packet);
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
    NTSTATUS messageId;

    name = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, EVENT_SCRATCH_BYTES, EVENT_SCRATCH_TAG);
    value = (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, EVENT_SCRATCH_BYTES, EVENT_SCRATCH_TAG);
    if (name != NULL && value != NULL) {
        RtlZeroMemory(name, EVENT_SCRATCH_BYTES);
        RtlZeroMemory(value, EVENT_SCRATCH_BYTES);
        if (IoObject == NULL) {
            IoObject = EventLogObject;
        }
        messageId = SelectMessage(EntryKind, EventLevel, EventCode);
        if (IoObject != NULL && messageId != 0 && (EntryKind == EVENT_KIND_LIFECYCLE || Data != NULL)) {
            WriteEntry(IoObject, EntryKind, EventCode, messageId, Data, name, value);
        }
    }
    if (name != NULL) {
        ExFreePool(name);
    }
    if (value != NULL) {
        ExFreePool(value);
    }
}
