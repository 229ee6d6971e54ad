/*++

Module Name:

    controls.cpp

Abstract:

    The control record operations: read and set every signal item by class
    and index, with its value codes: the Super I/O pin pair, the chipset's
    signal pairs, the brightness output and the FWP mode signal.

Environment:

    Kernel mode only, passive level.

--*/

#include "control/records.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"

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

//
// Points ControlItems, in (class, index) order, at the stored records.
//
CODE_SEG("PAGE") VOID LinkControlItems(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    for (ULONG i = 0; i < CONTROL_COUNT; i++) {
        Extension->ControlItems[i] = &Extension->ControlRecords[ControlTable[i].Storage];
    }
}

//
// Fills the stored control records in storage order, each read once.
//
CODE_SEG("PAGE") VOID InitStoredControls(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    for (ULONG storage = 0; storage < CONTROL_COUNT; storage++) {
        for (ULONG i = 0; i < CONTROL_COUNT; i++) {
            if (ControlTable[i].Storage == storage) {
                InitControlRecord(Extension, &Extension->ControlRecords[storage], ControlTable[i].Class,
                                  ControlTable[i].Index);
            }
        }
    }
}

//
// The driver's own record of the FWP mode signal.
//
CODE_SEG("PAGE") PCONTROL_RECORD FwpModeRecord(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    return &Extension->ControlRecords[STORED_FWP_MODE];
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
CODE_SEG("PAGE")
NTSTATUS InitControlRecord(PDEVICE_EXTENSION Extension, PCONTROL_RECORD Record, ULONG ControlClass,
                           ULONG ControlIndex)
{
    PAGED_CODE();

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
