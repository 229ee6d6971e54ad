/*++

Module Name:

    siocommand.cpp

Abstract:

    SioCommand: turns a (group, item) pair into environment-controller
    register accesses or GPIO pin accesses, converts raw readings into RPM,
    degrees C and millivolts, and keeps the two signal pins and their
    selection bits consistent. Every command runs whole under SioMutex, so
    the monitor thread and user requests never interleave on the chip.

Environment:

    Kernel mode only, passive level.

--*/

#include "hardware/convert.h"
#include "hardware/ecregs.h"
#include "hardware/siocommand.h"

//
// 120 s for SioMutex, in 100 ns units.
//
#define SIO_MUTEX_TIMEOUT (-1200000000LL)

//
// The two fans: their tachometer count registers (the high byte exists only
// when the fan's 16-bit counter was enabled at start), PWM output, bits in
// the fan-control main register and start-up parameter registers.
//
typedef struct _SIO_FAN {
    ULONG Item;
    ULONG Index; // 0 or 1: the fan's bits in registers 0x0B and 0x0C
    UCHAR CountLow;
    UCHAR CountHigh;
    UCHAR ExtensionBit;
    UCHAR PwmRegister;
    UCHAR ControlBits;
    UCHAR ParameterBase;
} SIO_FAN;

static const SIO_FAN SioFans[] = {
    {SIO_ITEM_FAN1, 0, EC_REG_FAN1_COUNT, EC_REG_FAN1_COUNT_HIGH, EC_FAN1_EXTENSION, EC_REG_PWM1,
     EC_FAN_MAIN_FAN1, EC_REG_FAN1_PARAMETERS},
    {SIO_ITEM_FAN2, 1, EC_REG_FAN2_COUNT, EC_REG_FAN2_COUNT_HIGH, EC_FAN2_EXTENSION, EC_REG_PWM2,
     EC_FAN_MAIN_FAN2, EC_REG_FAN2_PARAMETERS},
};

static const UCHAR SioFanParameters[] = {0x00, 0x2D, 0x3C, 0x06, 0x84};

//
// Register reads with a conversion: temperatures, voltages through the
// board's dividers (millivolts per count over a scale) and the brightness
// output's raw byte.
//
#define DIVIDER_PIN EC_MV_PER_COUNT_PIN, 1
#define DIVIDER_5V  EC_MV_PER_COUNT_5V, EC_MV_SCALE_HUNDREDTHS
#define DIVIDER_12V EC_MV_PER_COUNT_12V, 1
#define NO_DIVIDER  0, 0

typedef struct _SIO_READING {
    ULONG Group;
    ULONG Item;
    UCHAR Register;
    ULONG Multiplier;
    ULONG Divisor;
} SIO_READING;

static const SIO_READING SioReadings[] = {
    {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_VRM, EC_REG_TEMP_VRM, NO_DIVIDER},
    {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, EC_REG_TEMP_SYSTEM, NO_DIVIDER},
    {SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_BACKPLANE, EC_REG_TEMP_BACKPLANE, NO_DIVIDER},
    {SIO_GET_VOLTAGE, SIO_ITEM_VCCP, EC_REG_VCCP, DIVIDER_PIN},
    {SIO_GET_VOLTAGE, SIO_ITEM_V18, EC_REG_V18, DIVIDER_PIN},
    {SIO_GET_VOLTAGE, SIO_ITEM_V33, EC_REG_V33, DIVIDER_PIN},
    {SIO_GET_VOLTAGE, SIO_ITEM_V5, EC_REG_V5, DIVIDER_5V},
    {SIO_GET_VOLTAGE, SIO_ITEM_V12, EC_REG_V12, DIVIDER_12V},
    {SIO_GET_VOLTAGE, SIO_ITEM_AUX, EC_REG_AUX, DIVIDER_5V},
    {SIO_GET_BRIGHTNESS, SIO_ITEM_PWM3, EC_REG_PWM3, NO_DIVIDER},
};

//
// Commands that write the low byte of the cell to one register.
//
typedef struct _SIO_REGISTER_WRITE {
    ULONG Group;
    ULONG Item;
    UCHAR Register;
} SIO_REGISTER_WRITE;

static const SIO_REGISTER_WRITE SioRegisterWrites[] = {
    {SIO_SET_FAN_PWM, SIO_ITEM_FAN1, EC_REG_PWM1},
    {SIO_SET_FAN_PWM, SIO_ITEM_FAN2, EC_REG_PWM2},
    {SIO_SET_BRIGHTNESS, SIO_ITEM_PWM3, EC_REG_PWM3},
    {SIO_WRITE_FAN_REG_A, SIO_ITEM_FAN1, EC_FAN1_REG_A},
    {SIO_WRITE_FAN_REG_A, SIO_ITEM_FAN2, EC_FAN2_REG_A},
    {SIO_WRITE_FAN_REG_B, SIO_ITEM_FAN1, EC_FAN1_REG_B},
    {SIO_WRITE_FAN_REG_B, SIO_ITEM_FAN2, EC_FAN2_REG_B},
    {SIO_WRITE_TEMP_REG_A, SIO_ITEM_TEMP_VRM, EC_REG_TEMP_VRM_A},
    {SIO_WRITE_TEMP_REG_A, SIO_ITEM_TEMP_SYSTEM, EC_REG_TEMP_SYSTEM_A},
    {SIO_WRITE_TEMP_REG_A, SIO_ITEM_TEMP_BACKPLANE, EC_REG_TEMP_BACKPLANE_A},
    {SIO_WRITE_TEMP_REG_B, SIO_ITEM_TEMP_VRM, EC_REG_TEMP_VRM_A + EC_REG_LIMIT_B},
    {SIO_WRITE_TEMP_REG_B, SIO_ITEM_TEMP_SYSTEM, EC_REG_TEMP_SYSTEM_A + EC_REG_LIMIT_B},
    {SIO_WRITE_TEMP_REG_B, SIO_ITEM_TEMP_BACKPLANE, EC_REG_TEMP_BACKPLANE_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_VCCP, EC_REG_VCCP_A},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_V18, EC_REG_V18_A},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_V33, EC_REG_V33_A},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_V5, EC_REG_V5_A},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_V12, EC_REG_V12_A},
    {SIO_WRITE_VOLT_REG_A, SIO_ITEM_AUX, EC_REG_AUX_A},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_VCCP, EC_REG_VCCP_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_V18, EC_REG_V18_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_V33, EC_REG_V33_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_V5, EC_REG_V5_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_V12, EC_REG_V12_A + EC_REG_LIMIT_B},
    {SIO_WRITE_VOLT_REG_B, SIO_ITEM_AUX, EC_REG_AUX_A + EC_REG_LIMIT_B},
};

//
// Pin-pair codes: the levels both pins take and the selection state each
// pin must have (bits 0 and 1 of configuration register 0xC1).
//
typedef struct _SIO_PIN_PAIR {
    ULONG Code;
    UCHAR LevelA;
    UCHAR LevelB;
    ULONG SelectA;
    ULONG SelectB;
} SIO_PIN_PAIR;

static const SIO_PIN_PAIR SioPinPairs[] = {
    {SIO_PAIR_HIGH_HIGH, SIO_LEVEL_HIGH, SIO_LEVEL_HIGH, PIN_SELECT_SET, PIN_SELECT_SET},
    {SIO_PAIR_HIGH_LOW, SIO_LEVEL_HIGH, SIO_LEVEL_LOW, PIN_SELECT_SET, PIN_SELECT_SET},
    {SIO_PAIR_LOW_HIGH, SIO_LEVEL_LOW, SIO_LEVEL_HIGH, PIN_SELECT_SET, PIN_SELECT_SET},
    {SIO_PAIR_LOW_LOW, SIO_LEVEL_LOW, SIO_LEVEL_LOW, PIN_SELECT_SET, PIN_SELECT_SET},
    {SIO_PAIR_HIGH_LOW_B_OFF, SIO_LEVEL_HIGH, SIO_LEVEL_LOW, PIN_SELECT_SET, PIN_SELECT_CLEAR},
    {SIO_PAIR_LOW_HIGH_A_OFF, SIO_LEVEL_LOW, SIO_LEVEL_HIGH, PIN_SELECT_CLEAR, PIN_SELECT_SET},
    {SIO_PAIR_LOW_LOW_OFF, SIO_LEVEL_LOW, SIO_LEVEL_LOW, PIN_SELECT_CLEAR, PIN_SELECT_CLEAR},
};

static const SIO_FAN* SioFindFan(ULONG Item)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(SioFans); i++) {
        if (SioFans[i].Item == Item) {
            return &SioFans[i];
        }
    }
    return NULL;
}

static const SIO_PIN_PAIR* SioFindPinPair(ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(SioPinPairs); i++) {
        if (SioPinPairs[i].Code == Code) {
            return &SioPinPairs[i];
        }
    }
    return NULL;
}

//
// Reads a fan's tachometer count and converts it to RPM.
//
static NTSTATUS SioReadFanSpeed(const SIO_FAN* Fan, PULONG Buffer)
{
    NTSTATUS status;
    UCHAR low;
    UCHAR high = 0;
    ULONG divisor = Fan->Index == 0 ? g_SioState.FanDivisor1 : g_SioState.FanDivisor2;

    status = EcReadRegister(Fan->CountLow, &low);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (g_SioState.FanCountExtension & Fan->ExtensionBit) {
        status = EcReadRegister(Fan->CountHigh, &high);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *Buffer = FanRpmFromCount(low, high, divisor);
    return STATUS_SUCCESS;
}

static NTSTATUS SioReadConverted(const SIO_READING* Reading, PULONG Buffer)
{
    UCHAR raw;
    NTSTATUS status = EcReadRegister(Reading->Register, &raw);

    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Reading->Group == SIO_GET_VOLTAGE) {
        *Buffer = MillivoltsFromRaw(raw, Reading->Multiplier, Reading->Divisor);
    } else if (Reading->Group == SIO_GET_TEMPERATURE) {
        *Buffer = CelsiusFromEcRaw(raw);
    } else {
        *Buffer = raw;
    }
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Reads both signal pins and names the pair by its pin-pair code, which
    also encodes the selection states tracked in g_SioState.

Return Value:

    STATUS_SUCCESS, or STATUS_UNSUCCESSFUL when the levels do not fit the
    selection states (no code describes them).

--*/
static NTSTATUS SioReadPinPair(PULONG Buffer)
{
    NTSTATUS status;
    UCHAR levelA;
    UCHAR levelB;

    status = SioGpioReadBit(SIO_GPIO_PIN_A, &levelA);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (levelA != SIO_LEVEL_LOW && levelA != SIO_LEVEL_HIGH) {
        return STATUS_UNSUCCESSFUL;
    }
    status = SioGpioReadBit(SIO_GPIO_PIN_B, &levelB);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (levelB != SIO_LEVEL_LOW && levelB != SIO_LEVEL_HIGH) {
        return STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(SioPinPairs); i++) {
        const SIO_PIN_PAIR* pair = &SioPinPairs[i];
        if (pair->LevelA == levelA && pair->LevelB == levelB && pair->SelectA == g_SioState.PinModeA &&
            pair->SelectB == g_SioState.PinModeB) {
            *Buffer = pair->Code;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

static NTSTATUS SioReadPin(ULONG Item, PULONG Buffer)
{
    UCHAR level;
    NTSTATUS status = SioGpioReadBit(Item == SIO_ITEM_PIN_A ? SIO_GPIO_PIN_A : SIO_GPIO_PIN_B, &level);

    if (!NT_SUCCESS(status)) {
        return status;
    }
    *Buffer = (level == SIO_LEVEL_HIGH) ? CODE_LEVEL_HIGH : CODE_LEVEL_LOW;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Drives the signal pins. The value code is checked first, whatever the
    item: a single level (CODE_LEVEL_LOW or CODE_LEVEL_HIGH) for one pin, or
    a pin-pair code for the pair. Before a pair is written, the pins'
    selection bits in configuration register 0xC1 are brought to what the
    code asks for; the register is rewritten only when they differ, and its
    other bits are kept.

--*/
static NTSTATUS SioWritePins(ULONG Item, ULONG Code)
{
    const SIO_PIN_PAIR* pair = NULL;
    UCHAR level = 0;
    UCHAR select;
    NTSTATUS status;

    if (Code == CODE_LEVEL_LOW) {
        level = SIO_LEVEL_LOW;
    } else if (Code == CODE_LEVEL_HIGH) {
        level = SIO_LEVEL_HIGH;
    } else {
        pair = SioFindPinPair(Code);
        if (pair == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
    }

    if (Item == SIO_ITEM_PIN_A || Item == SIO_ITEM_PIN_B) {
        if (pair != NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        return SioGpioWriteBit(Item == SIO_ITEM_PIN_A ? SIO_GPIO_PIN_A : SIO_GPIO_PIN_B, level);
    }
    if (Item != SIO_ITEM_PIN_PAIR || pair == NULL) {
        return STATUS_INVALID_PARAMETER;
    }

    if (g_SioState.PinModeA != pair->SelectA || g_SioState.PinModeB != pair->SelectB) {
        SioConfigRead(SIO_LDN_GPIO, SIO_CFG_PIN_SELECT, &select);
        select = (UCHAR)(select & ~0x03);
        if (pair->SelectA == PIN_SELECT_SET) {
            select |= 0x01;
        }
        if (pair->SelectB == PIN_SELECT_SET) {
            select |= 0x02;
        }
        SioConfigWrite(SIO_LDN_GPIO, SIO_CFG_PIN_SELECT, select);
        g_SioState.PinModeA = pair->SelectA;
        g_SioState.PinModeB = pair->SelectB;
    }

    status = SioGpioWriteBit(SIO_GPIO_PIN_A, pair->LevelA);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SioGpioWriteBit(SIO_GPIO_PIN_B, pair->LevelB);
}

/*++

Routine Description:

    Read-modify-write of an environment-controller register. When the read
    fails nothing is written back: a value built on a byte that was never
    read would clobber the register's other bits.

Return Value:

    The status of the read.

--*/
static NTSTATUS SioUpdateRegister(UCHAR Register, UCHAR Keep, UCHAR Set)
{
    UCHAR value;
    NTSTATUS status = EcReadRegister(Register, &value);

    if (NT_SUCCESS(status)) {
        EcWriteRegister(Register, (UCHAR)((value & Keep) | Set));
    }
    return status;
}

//
// Enables both fans' 16-bit tachometer counters. The fan reads take the
// counter width from FanCountExtension, so the copy follows the register
// whenever the driver itself changes it: with the copy left at a
// firmware's 8-bit setting, a 16-bit count would be read as its low byte
// alone, and a seized fan's 0xFFFF would read as 0xFF, some 2,600 RPM. A
// write the busy controller refused changed nothing, and the copy stays.
//
static VOID SioEnableFanCounters(VOID)
{
    if (NT_SUCCESS(EcWriteRegister(EC_REG_FAN_EXTENSION, EC_FAN_EXTENSION_ON))) {
        g_SioState.FanCountExtension = EC_FAN_EXTENSION_ON;
    }
}

/*++

Routine Description:

    Fan start-up: enables the 16-bit counters, optionally loads the fan's
    automatic-control parameters, hands the fan to the controller and starts
    it at half speed. The sequence goes on past failed accesses.

Return Value:

    The status of the read of register 0x14; STATUS_INVALID_PARAMETER for an
    item that is not a fan (after register 0x0C has been written).

--*/
static NTSTATUS SioStartFan(ULONG Group, ULONG Item)
{
    const SIO_FAN* fan;
    NTSTATUS status;

    SioEnableFanCounters();
    fan = SioFindFan(Item);
    if (fan == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Group == SIO_FAN_INIT_AUTO) {
        for (ULONG i = 0; i < RTL_NUMBER_OF(SioFanParameters); i++) {
            EcWriteRegister((UCHAR)(fan->ParameterBase + i), SioFanParameters[i]);
        }
    }
    SioUpdateRegister(EC_REG_FAN_MAIN, 0xFF, fan->ControlBits);
    status = SioUpdateRegister(EC_REG_FAN_CONTROL, 0xFF, EC_FAN_CONTROL_STARTUP);
    EcWriteRegister(fan->PwmRegister, EC_PWM_STARTUP);
    return status;
}

/*++

Routine Description:

    Start-up of PWM output 3 (the brightness output): takes both fans' bits
    out of the fan-control main register and sets output 3's, so the fans'
    own start-ups must follow it.

Return Value:

    The status of the read of register 0x14.

--*/
static NTSTATUS SioStartBrightness(VOID)
{
    NTSTATUS status;

    SioEnableFanCounters();
    SioUpdateRegister(EC_REG_FAN_MAIN, EC_FAN_MAIN_KEEP_FOR_PWM3, EC_FAN_MAIN_PWM3);
    status = SioUpdateRegister(EC_REG_FAN_CONTROL, 0xFF, EC_FAN_CONTROL_STARTUP);
    EcWriteRegister(EC_REG_PWM3, EC_PWM_STARTUP);
    EcWriteRegister(EC_REG_PWM3_CONTROL, 0x00);
    return status;
}

static NTSTATUS SioRunCommand(ULONG Group, ULONG Item, PULONG Buffer)
{
    const SIO_FAN* fan;

    switch (Group) {
        case SIO_GET_FAN_SPEED:
            fan = SioFindFan(Item);
            return fan != NULL ? SioReadFanSpeed(fan, Buffer) : STATUS_INVALID_PARAMETER;

        case SIO_GET_PINS:
            if (Item == SIO_ITEM_PIN_A || Item == SIO_ITEM_PIN_B) {
                return SioReadPin(Item, Buffer);
            }
            return Item == SIO_ITEM_PIN_PAIR ? SioReadPinPair(Buffer) : STATUS_INVALID_PARAMETER;

        case SIO_SET_PINS:
            return SioWritePins(Item, *Buffer);

        case SIO_FAN_INIT_AUTO:
        case SIO_FAN_INIT:
            return SioStartFan(Group, Item);

        case SIO_BRIGHTNESS_INIT:
            return SioStartBrightness();

        default:
            break;
    }

    for (ULONG i = 0; i < RTL_NUMBER_OF(SioReadings); i++) {
        if (SioReadings[i].Group == Group && SioReadings[i].Item == Item) {
            return SioReadConverted(&SioReadings[i], Buffer);
        }
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(SioRegisterWrites); i++) {
        if (SioRegisterWrites[i].Group == Group && SioRegisterWrites[i].Item == Item) {
            return EcWriteRegister(SioRegisterWrites[i].Register, (UCHAR)(*Buffer & 0xFF));
        }
    }
    return STATUS_INVALID_PARAMETER;
}

/*++

Routine Description:

    Runs one command of the environment-controller command set, whole, under
    SioMutex.

Arguments:

    Group - what to do (SIO_GET_..., SIO_SET_..., start-up, register write).

    Item - on which input or output (SIO_ITEM_...).

    Buffer - one 32-bit cell: reads store a full value; register settings
    take its low byte; SIO_SET_PINS takes the whole cell as a value code;
    start-up commands ignore it.

Return Value:

    The command's status; STATUS_INVALID_PARAMETER for an unknown pair;
    STATUS_IO_TIMEOUT when SioMutex is not obtained within 120 s, with
    nothing done and the buffer untouched (a caller must not take that for a
    reading).

--*/
NTSTATUS SioCommand(ULONG Group, ULONG Item, PULONG Buffer)
{
    LARGE_INTEGER timeout;
    NTSTATUS status;

    timeout.QuadPart = SIO_MUTEX_TIMEOUT;
    status = KeWaitForSingleObject(&g_SioState.SioMutex, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    status = SioRunCommand(Group, Item, Buffer);
    KeReleaseMutex(&g_SioState.SioMutex, FALSE);
    return status;
}
