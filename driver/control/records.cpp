/*++

Module Name:

    records.cpp

Abstract:

    The sensor record operations: read any sensor by type and id, set a
    fan's PWM; and the setting up of the driver's own stored records.

Environment:

    Kernel mode only, passive level.

--*/

#include "control/records.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"

//
// Where each sensor is read. Slot is its place in the extension's
// Thresholds (the logical order); Storage its place in SensorRecords.
//
typedef enum _SENSOR_SOURCE { SourceSuperIo, SourceSmbus } SENSOR_SOURCE;

typedef struct _SENSOR_ENTRY {
    ULONG Type;
    ULONG Id;
    ULONG Slot;
    ULONG Storage;
    SENSOR_SOURCE Source;
    ULONG Group;
    ULONG Item;
} SENSOR_ENTRY;

static const SENSOR_ENTRY SensorTable[SENSOR_COUNT] = {
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER, 0, 0, SourceSuperIo, SIO_GET_FAN_SPEED, SIO_ITEM_FAN1},
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM, 1, 1, SourceSuperIo, SIO_GET_FAN_SPEED, SIO_ITEM_FAN2},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, 2, 2, SourceSmbus, SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM, 3, 3, SourceSuperIo, SIO_GET_TEMPERATURE,
     SIO_ITEM_TEMP_SYSTEM},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE, 4, 4, SourceSuperIo, SIO_GET_TEMPERATURE,
     SIO_ITEM_TEMP_BACKPLANE},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM, 5, 11, SourceSuperIo, SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_VRM},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP, 6, 5, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_VCCP},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V18, 7, 6, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_V18},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33, 8, 7, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_V33},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5, 9, 8, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_V5},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12, 10, 9, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_V12},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_AUX, 11, 10, SourceSuperIo, SIO_GET_VOLTAGE, SIO_ITEM_AUX},
};

static const SENSOR_ENTRY* FindSensor(ULONG Type, ULONG Id)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(SensorTable); i++) {
        if (SensorTable[i].Type == Type && SensorTable[i].Id == Id) {
            return &SensorTable[i];
        }
    }
    return NULL;
}

/*++

Routine Description:

    Points the extension's reference tables at its records: Sensors in
    logical order, ControlItems in (class, index) order.

--*/
CODE_SEG("PAGE") VOID LinkRecordTables(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        Extension->Sensors[SensorTable[i].Slot] = &Extension->SensorRecords[SensorTable[i].Storage];
    }
    LinkControlItems(Extension);
}

/*++

Routine Description:

    Links the reference tables and fills the driver's own records: the
    control records in storage order, each read once, then the sensor
    records in logical order. Failed reads leave a record with what it has;
    which sensor records hold a reading is noted for the monitor.

--*/
CODE_SEG("PAGE") VOID InitStoredRecords(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    LinkRecordTables(Extension);
    InitStoredControls(Extension);
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        const SENSOR_ENTRY* entry = &SensorTable[i];
        NTSTATUS status =
            InitSensorRecord(Extension, Extension->Sensors[entry->Slot], entry->Type, entry->Id);
        // A fan is not read here: its record holds no reading yet whatever the status says.
        Extension->SensorHasReading[entry->Storage] =
            (UCHAR)(NT_SUCCESS(status) && entry->Type != SENSOR_TYPE_FAN);
    }
}

/*++

Routine Description:

    Fills a sensor record for (type, id), links it to its limits and copies
    its critical limits; a temperature or voltage is read at once (a fan is
    first read by the monitor's first poll). The band state is cleared even
    when the sensor is unknown.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for an unknown type or id; the
    read's failure status (the record keeps Value 0).

--*/
CODE_SEG("PAGE")
NTSTATUS
InitSensorRecord(PDEVICE_EXTENSION Extension, PSENSOR_RECORD Record, ULONG SensorType, ULONG SensorId)
{
    PAGED_CODE();

    const SENSOR_ENTRY* entry;
    PTHRESHOLD_SET limits;

    Record->CurrentValue = 0;
    Record->Reserved1 = 0;
    Record->Reserved2 = 0;
    Record->WarningUpperCount = 0;
    Record->WarningLowerCount = 0;
    Record->CriticalUpperCount = 0;
    Record->CriticalLowerCount = 0;
    Record->WarningActive = 0;
    Record->CriticalActive = 0;

    entry = FindSensor(SensorType, SensorId);
    if (entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    limits = &Extension->Thresholds[entry->Slot];
    Record->SensorType = SensorType;
    Record->SensorId = SensorId;
    Record->Value = 0;
    Record->ThresholdSet = entry->Slot;
    Record->CriticalUpper = limits->CritUpper;
    Record->CriticalLower = limits->CritLower;

    if (SensorType == SENSOR_TYPE_FAN) {
        return STATUS_SUCCESS;
    }
    return ReadSensorRecord(Record);
}

/*++

Routine Description:

    Reads the sensor a record names into Value and CurrentValue. The cell is
    preloaded with the previous reading, so that a command that reports
    success without storing cannot give the record an undefined value.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a null record or an unknown
    sensor; the command's failure status, with the record untouched.

--*/
NTSTATUS ReadSensorRecord(PSENSOR_RECORD Record)
{
    const SENSOR_ENTRY* entry;
    ULONG cell;
    NTSTATUS status;

    if (Record == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    entry = FindSensor(Record->SensorType, Record->SensorId);
    if (entry == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    cell = (ULONG)ReadNoFence(&Record->Value);
    if (entry->Source == SourceSmbus) {
        status = SmbusSensorCommand(entry->Group, entry->Item, &cell);
    } else {
        status = SioCommand(entry->Group, entry->Item, &cell);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The stored records are read by fan control and WMI on other threads while the monitor writes
    // them: each field is one whole 32-bit store.
    WriteNoFence(&Record->Value, (LONG)cell);
    WriteNoFence(&Record->CurrentValue, (LONG)cell);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Writes a PWM value to the fan a fan record names; only the low byte
    reaches the controller. Temperature and voltage records have no PWM: the
    call succeeds and writes nothing. The record is not changed.

--*/
NTSTATUS SetFanPwm(PSENSOR_RECORD Record, ULONG Pwm)
{
    NTSTATUS status;
    ULONG item;

    if (Record == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((LONG)Record->SensorType == SENSOR_TYPE_TEMPERATURE ||
        (LONG)Record->SensorType == SENSOR_TYPE_VOLTAGE) {
        return STATUS_SUCCESS;
    }
    if ((LONG)Record->SensorType != SENSOR_TYPE_FAN) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Record->SensorId == SENSOR_ID_REAR_UPPER) {
        item = SIO_ITEM_FAN1;
    } else if (Record->SensorId == SENSOR_ID_REAR_BOTTOM) {
        item = SIO_ITEM_FAN2;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    status = SioCommand(SIO_SET_FAN_PWM, item, &Pwm);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
