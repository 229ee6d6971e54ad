/*++

Module Name:

    records.cpp

Abstract:

    The sensor and control record operations: read any sensor by type and id,
    set a fan's PWM, read and set every signal item by class and index with
    its value codes.

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

//
// Control items in (class, index) order, the order of ControlItems, with
// their place in the storage order of ControlRecords: the pin pair, the
// brightness output and the FWP mode signal first, then classes 2, 3 and 4
// with four indices each.
//
typedef struct _CONTROL_ENTRY {
    ULONG Class;
    ULONG Index;
    ULONG Storage;
} CONTROL_ENTRY;

#define STORED_PIN_PAIR   0
#define STORED_BRIGHTNESS 1
#define STORED_FWP_MODE   2
#define STORED_SIGNALS    3
#define STORED_READ_ONLY3 7
#define STORED_READ_ONLY4 11

//
// Classes 2, 3 and 4: the n-th of indices 2 to 5, stored n places after the
// class's first record.
//
// clang-format off
#define SIGNAL_ITEM(Class, Storage, n) {Class, CONTROL_INDEX_SIGNALS_FIRST + (n), (Storage) + (n)}
// clang-format on

static const CONTROL_ENTRY ControlTable[CONTROL_COUNT] = {
    {CONTROL_CLASS_PIN_PAIR, CONTROL_INDEX_PIN_PAIR, STORED_PIN_PAIR},
    SIGNAL_ITEM(CONTROL_CLASS_SIGNALS, STORED_SIGNALS, 0),
    SIGNAL_ITEM(CONTROL_CLASS_SIGNALS, STORED_SIGNALS, 1),
    SIGNAL_ITEM(CONTROL_CLASS_SIGNALS, STORED_SIGNALS, 2),
    SIGNAL_ITEM(CONTROL_CLASS_SIGNALS, STORED_SIGNALS, 3),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY3, STORED_READ_ONLY3, 0),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY3, STORED_READ_ONLY3, 1),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY3, STORED_READ_ONLY3, 2),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY3, STORED_READ_ONLY3, 3),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY4, STORED_READ_ONLY4, 0),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY4, STORED_READ_ONLY4, 1),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY4, STORED_READ_ONLY4, 2),
    SIGNAL_ITEM(CONTROL_CLASS_READ_ONLY4, STORED_READ_ONLY4, 3),
    {CONTROL_CLASS_BRIGHTNESS, CONTROL_INDEX_BRIGHTNESS, STORED_BRIGHTNESS},
    {CONTROL_CLASS_FWP_MODE, CONTROL_INDEX_FWP_MODE, STORED_FWP_MODE},
};

//
// Class 1 value codes and the pin-pair codes they stand for.
//
typedef struct _VALUE_MAP {
    ULONG ValueCode;
    ULONG Hardware;
} VALUE_MAP;

static const VALUE_MAP PinPairValues[] = {
    {VALUE_PIN_PAIR_HIGH_HIGH, SIO_PAIR_HIGH_HIGH},
    {VALUE_PIN_PAIR_HIGH_LOW, SIO_PAIR_HIGH_LOW},
    {VALUE_PIN_PAIR_LOW_HIGH, SIO_PAIR_LOW_HIGH},
    {VALUE_PIN_PAIR_LOW_LOW, SIO_PAIR_LOW_LOW},
    {VALUE_PIN_PAIR_HIGH_LOW_B_OFF, SIO_PAIR_HIGH_LOW_B_OFF},
    {VALUE_PIN_PAIR_LOW_HIGH_A_OFF, SIO_PAIR_LOW_HIGH_A_OFF},
};

//
// Class 2 value codes: the levels of the index's first and second signal.
//
typedef struct _SIGNAL_PAIR {
    ULONG ValueCode;
    ULONG First;
    ULONG Second;
} SIGNAL_PAIR;

static const SIGNAL_PAIR SignalPairs[] = {
    {VALUE_SIGNALS_HIGH_HIGH, CODE_LEVEL_HIGH, CODE_LEVEL_HIGH},
    {VALUE_SIGNALS_LOW_HIGH, CODE_LEVEL_LOW, CODE_LEVEL_HIGH},
    {VALUE_SIGNALS_HIGH_LOW, CODE_LEVEL_HIGH, CODE_LEVEL_LOW},
    {VALUE_SIGNALS_LOW_LOW, CODE_LEVEL_LOW, CODE_LEVEL_LOW},
};

//
// Class 9: the FWP mode signal's value codes and levels.
//
static const VALUE_MAP FwpValues[] = {
    {VALUE_FWP_HIGH, CODE_LEVEL_HIGH},
    {VALUE_FWP_LOW, CODE_LEVEL_LOW},
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

static const VALUE_MAP* FindByCode(const VALUE_MAP* Map, ULONG Count, ULONG ValueCode)
{
    for (ULONG i = 0; i < Count; i++) {
        if (Map[i].ValueCode == ValueCode) {
            return &Map[i];
        }
    }
    return NULL;
}

static const VALUE_MAP* FindByHardware(const VALUE_MAP* Map, ULONG Count, ULONG Hardware)
{
    for (ULONG i = 0; i < Count; i++) {
        if (Map[i].Hardware == Hardware) {
            return &Map[i];
        }
    }
    return NULL;
}

/*++

Routine Description:

    Points the extension's reference tables at its records: Sensors in
    logical order, ControlItems in (class, index) order.

--*/
VOID LinkRecordTables(PDEVICE_EXTENSION Extension)
{
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        Extension->Sensors[SensorTable[i].Slot] = &Extension->SensorRecords[SensorTable[i].Storage];
    }
    for (ULONG i = 0; i < CONTROL_COUNT; i++) {
        Extension->ControlItems[i] = &Extension->ControlRecords[ControlTable[i].Storage];
    }
}

/*++

Routine Description:

    Links the reference tables and fills the driver's own records: the
    control records in storage order, each read once, then the sensor
    records in logical order. Failed reads leave a record with what it has.

--*/
VOID InitStoredRecords(PDEVICE_EXTENSION Extension)
{
    LinkRecordTables(Extension);
    for (ULONG storage = 0; storage < CONTROL_COUNT; storage++) {
        for (ULONG i = 0; i < CONTROL_COUNT; i++) {
            if (ControlTable[i].Storage == storage) {
                InitControlRecord(Extension, &Extension->ControlRecords[storage], ControlTable[i].Class,
                                  ControlTable[i].Index);
            }
        }
    }
    for (ULONG i = 0; i < SENSOR_COUNT; i++) {
        InitSensorRecord(Extension, Extension->Sensors[SensorTable[i].Slot], SensorTable[i].Type,
                         SensorTable[i].Id);
    }
}

//
// The driver's own record of the FWP mode signal.
//
PCONTROL_RECORD FwpModeRecord(PDEVICE_EXTENSION Extension)
{
    return &Extension->ControlRecords[STORED_FWP_MODE];
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
NTSTATUS InitSensorRecord(PDEVICE_EXTENSION Extension, PSENSOR_RECORD Record, ULONG SensorType,
                          ULONG SensorId)
{
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

//
// The valid (class, index) pairs, compared as signed numbers.
//
static BOOLEAN ControlItemValid(LONG ControlClass, LONG ControlIndex)
{
    switch (ControlClass) {
        case CONTROL_CLASS_PIN_PAIR:
            return ControlIndex == CONTROL_INDEX_PIN_PAIR;
        case CONTROL_CLASS_SIGNALS:
        case CONTROL_CLASS_READ_ONLY3:
        case CONTROL_CLASS_READ_ONLY4:
            return ControlIndex >= CONTROL_INDEX_SIGNALS_FIRST && ControlIndex <= CONTROL_INDEX_SIGNALS_LAST;
        case CONTROL_CLASS_BRIGHTNESS:
            return ControlIndex == CONTROL_INDEX_BRIGHTNESS;
        case CONTROL_CLASS_FWP_MODE:
            return ControlIndex == CONTROL_INDEX_FWP_MODE;
        default:
            return FALSE;
    }
}

//
// The chipset item of a class-2 index: 2-5 give CS_ITEM_1-4.
//
static ULONG SignalItem(ULONG ControlIndex)
{
    return CS_ITEM_1 + (ControlIndex - CONTROL_INDEX_SIGNALS_FIRST);
}

/*++

Routine Description:

    Validates (class, index), fills the record and reads the item once.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a null argument or an
    unknown item (the record untouched); the read's failure status.

--*/
NTSTATUS InitControlRecord(PDEVICE_EXTENSION Extension, PCONTROL_RECORD Record, ULONG ControlClass,
                           ULONG ControlIndex)
{
    if (Extension == NULL || Record == NULL || !ControlItemValid((LONG)ControlClass, (LONG)ControlIndex)) {
        return STATUS_INVALID_PARAMETER;
    }
    Record->ControlClass = ControlClass;
    Record->ControlIndex = ControlIndex;
    Record->Value = 0;
    Record->CurrentValue = 0;
    Record->Reserved1 = 0;
    Record->Reserved2 = 0;
    return ReadControlRecord(Record);
}

static NTSTATUS ReadSignals(ULONG ControlIndex, PULONG ValueCode)
{
    ULONG first;
    ULONG second;
    NTSTATUS status;

    status = ChipsetCommand(CS_GET_GPIO_A, SignalItem(ControlIndex), &first);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ChipsetCommand(CS_GET_GPIO_B, SignalItem(ControlIndex), &second);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(SignalPairs); i++) {
        if (SignalPairs[i].First == first && SignalPairs[i].Second == second) {
            *ValueCode = SignalPairs[i].ValueCode;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

//
// The brightness level whose configured raw value the output holds; the
// first (lowest) level wins when two levels share a value.
//
static NTSTATUS ReadBrightness(PULONG ValueCode)
{
    ULONG raw;
    NTSTATUS status;

    if (g_DeviceExtension == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    status = SioCommand(SIO_GET_BRIGHTNESS, SIO_ITEM_PWM3, &raw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG n = 0; n < BRIGHTNESS_LEVELS; n++) {
        if (g_DeviceExtension->BrightnessLevel[n] == raw) {
            *ValueCode = VALUE_BRIGHTNESS_0 + n;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

/*++

Routine Description:

    Reads the item a control record names and stores its value code in Value
    and CurrentValue. Classes 3 and 4 have no hardware: the record is left
    as it is.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a null record or an unknown
    item; STATUS_UNSUCCESSFUL when the hardware shows a value without a code;
    a command's failure status. Every failure leaves the record unchanged.

--*/
NTSTATUS ReadControlRecord(PCONTROL_RECORD Record)
{
    const VALUE_MAP* map;
    ULONG hardware;
    ULONG valueCode = 0;
    NTSTATUS status;

    if (Record == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ControlItemValid((LONG)Record->ControlClass, (LONG)Record->ControlIndex)) {
        return STATUS_INVALID_PARAMETER;
    }

    switch (Record->ControlClass) {
        case CONTROL_CLASS_PIN_PAIR:
            status = SioCommand(SIO_GET_PINS, SIO_ITEM_PIN_PAIR, &hardware);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            map = FindByHardware(PinPairValues, RTL_NUMBER_OF(PinPairValues), hardware);
            if (map == NULL) {
                return STATUS_UNSUCCESSFUL;
            }
            valueCode = map->ValueCode;
            break;

        case CONTROL_CLASS_SIGNALS:
            status = ReadSignals(Record->ControlIndex, &valueCode);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            break;

        case CONTROL_CLASS_READ_ONLY3:
        case CONTROL_CLASS_READ_ONLY4:
            return STATUS_SUCCESS;

        case CONTROL_CLASS_BRIGHTNESS:
            status = ReadBrightness(&valueCode);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            break;

        default: // CONTROL_CLASS_FWP_MODE
            status = ChipsetCommand(CS_GET_GPIO_C, CS_ITEM_FWP, &hardware);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            map = FindByHardware(FwpValues, RTL_NUMBER_OF(FwpValues), hardware);
            if (map == NULL) {
                return STATUS_UNSUCCESSFUL;
            }
            valueCode = map->ValueCode;
            break;
    }
    Record->Value = valueCode;
    Record->CurrentValue = valueCode;
    return STATUS_SUCCESS;
}

static NTSTATUS SetSignals(ULONG ControlIndex, ULONG ValueCode)
{
    const SIGNAL_PAIR* pair = NULL;
    ULONG level;
    NTSTATUS status;

    for (ULONG i = 0; i < RTL_NUMBER_OF(SignalPairs); i++) {
        if (SignalPairs[i].ValueCode == ValueCode) {
            pair = &SignalPairs[i];
        }
    }
    if (pair == NULL || (LONG)ControlIndex < CONTROL_INDEX_SIGNALS_FIRST ||
        (LONG)ControlIndex > CONTROL_INDEX_SIGNALS_LAST) {
        return STATUS_INVALID_PARAMETER;
    }
    level = pair->First;
    status = ChipsetCommand(CS_SET_GPIO_A, SignalItem(ControlIndex), &level);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    level = pair->Second;
    return ChipsetCommand(CS_SET_GPIO_B, SignalItem(ControlIndex), &level);
}

/*++

Routine Description:

    Drives the item a control record names to a value code. Classes 1, 2 and
    5 then store the code in Value and CurrentValue; class 9 leaves them (a
    read shows the level the signal took).

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a null record, an unknown
    item or a code the class does not take; STATUS_NOT_SUPPORTED for the
    read-only classes 3 and 4; a command's failure status (record unchanged).

--*/
NTSTATUS SetControlRecord(PCONTROL_RECORD Record, ULONG ValueCode)
{
    const VALUE_MAP* map;
    ULONG cell;
    NTSTATUS status;

    if (Record == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    switch (Record->ControlClass) {
        case CONTROL_CLASS_PIN_PAIR:
            map = FindByCode(PinPairValues, RTL_NUMBER_OF(PinPairValues), ValueCode);
            if (Record->ControlIndex != CONTROL_INDEX_PIN_PAIR || map == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            cell = map->Hardware;
            status = SioCommand(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, &cell);
            break;

        case CONTROL_CLASS_SIGNALS:
            status = SetSignals(Record->ControlIndex, ValueCode);
            break;

        case CONTROL_CLASS_READ_ONLY3:
        case CONTROL_CLASS_READ_ONLY4:
            return ControlItemValid((LONG)Record->ControlClass, (LONG)Record->ControlIndex)
                       ? STATUS_NOT_SUPPORTED
                       : STATUS_INVALID_PARAMETER;

        case CONTROL_CLASS_BRIGHTNESS:
            if (Record->ControlIndex != CONTROL_INDEX_BRIGHTNESS || ValueCode < VALUE_BRIGHTNESS_0 ||
                ValueCode >= VALUE_BRIGHTNESS_0 + BRIGHTNESS_LEVELS) {
                return STATUS_INVALID_PARAMETER;
            }
            if (g_DeviceExtension == NULL) {
                return STATUS_UNSUCCESSFUL;
            }
            cell = g_DeviceExtension->BrightnessLevel[ValueCode - VALUE_BRIGHTNESS_0];
            status = SioCommand(SIO_SET_BRIGHTNESS, SIO_ITEM_PWM3, &cell);
            break;

        case CONTROL_CLASS_FWP_MODE:
            map = FindByCode(FwpValues, RTL_NUMBER_OF(FwpValues), ValueCode);
            if (Record->ControlIndex != CONTROL_INDEX_FWP_MODE || map == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            cell = map->Hardware;
            status = ChipsetCommand(CS_SET_GPIO_C, CS_ITEM_FWP, &cell);
            return NT_SUCCESS(status) ? STATUS_SUCCESS : status;

        default:
            return STATUS_INVALID_PARAMETER;
    }

    if (!NT_SUCCESS(status)) {
        return status;
    }
    Record->Value = ValueCode;
    Record->CurrentValue = ValueCode;
    return STATUS_SUCCESS;
}
