/*++

Module Name:

    chipset.cpp

Abstract:

    The SiS south bridge: identification through PCI configuration space,
    byte transfers on its SMBus host controller (with the controller's
    restart-on-collision protocol), the CPU temperature sensor behind it, and
    the board signals on its 32-bit general-purpose port.

    Lock order: SensorMutex, then ChipsetMutex. The Super I/O's SioMutex is
    never held with either.

Environment:

    Kernel mode only, passive level.

--*/

#include "hardware/chipset.h"

CHIPSET_STATE g_ChipsetState;

#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT    0xCFC

#define CHIPSET_VENDOR_ID    0x1039
#define CHIPSET_DEVICE_ID    0x0966
#define CHIPSET_SMBUS_OFFSET 0xD0
#define CHIPSET_GPIO_OFFSET  0x64

//
// SMBus host controller registers, as offsets from SmbusBasePort.
//
#define SMB_STATUS    0
#define SMB_BUS_STATE 2
#define SMB_CONTROL   3
#define SMB_ADDRESS   4
#define SMB_COMMAND   5
#define SMB_DATA      8

#define SMB_STATUS_CLEAR      0xFF
#define SMB_STATUS_DONE       0x08
#define SMB_STATUS_FAILED     0x06 // collision or device error
#define SMB_BUS_STATE_MASK    0x03
#define SMB_BUS_COLLISION     0x01 // the transaction must start over
#define SMB_CONTROL_KEEP      0x48
#define SMB_CONTROL_START     0x10
#define SMB_CONTROL_KILL      0x20
#define SMB_CONTROL_BYTE      0x01
#define SMB_CONTROL_BYTE_DATA 0x02
#define SMB_MAX_ATTEMPTS      31
#define SMB_STATUS_POLLS      300
#define SMB_POLL_SLEEP_MS     5
#define SMB_START_SETTLE_US   30

#define SENSOR_ADDRESS       0x4C
#define SENSOR_REG_CPU       0x01
#define SENSOR_REG_07        0x07
#define SENSOR_REG_08        0x08
#define SENSOR_REG_0D        0x0D
#define SENSOR_REG_0E        0x0E
#define SENSOR_REG_IDENTITY1 0xFF
#define SENSOR_REG_IDENTITY2 0xFE
#define SENSOR_IDENTITY1     0x01
#define SENSOR_IDENTITY2     0x47

#define CHIPSET_MUTEX_TIMEOUT (-600000000LL)  // 60 s
#define SENSOR_MUTEX_TIMEOUT  (-1200000000LL) // 120 s
#define CHIPSET_GPIO_BITS     15              // bits 0-14 of the port are board signals

//
// The GPIO bit that each (group family, item) pair names. Read and write
// groups share a family: CS_GET_GPIO_A and CS_SET_GPIO_A both use family A.
//
typedef struct _CS_GPIO_ITEM {
    ULONG Family; // low nibble of the group: 1 (A), 2 (B), 3 (C)
    ULONG Item;
    UCHAR Bit;
} CS_GPIO_ITEM;

static const CS_GPIO_ITEM ChipsetGpioItems[] = {
    {1, CS_ITEM_1, 0}, {1, CS_ITEM_2, 1}, {1, CS_ITEM_3, 3},  {1, CS_ITEM_4, 5},   {2, CS_ITEM_1, 12},
    {2, CS_ITEM_2, 8}, {2, CS_ITEM_3, 9}, {2, CS_ITEM_4, 10}, {3, CS_ITEM_FWP, 7},
};

static UCHAR ChipsetReadByte(ULONG Port)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port);
}

static VOID ChipsetWriteByte(ULONG Port, UCHAR Value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port, Value);
}

static ULONG ChipsetReadDword(ULONG Port)
{
    return READ_PORT_ULONG((PULONG)(ULONG_PTR)Port);
}

static VOID ChipsetWriteDword(ULONG Port, ULONG Value)
{
    WRITE_PORT_ULONG((PULONG)(ULONG_PTR)Port, Value);
}

//
// A lock wait that timed out did nothing: no byte or level was read and
// nothing was written. Callers that would store or report a value take it
// as the failure it is.
//
static NTSTATUS ChipsetTimeoutIsFailure(NTSTATUS Status)
{
    return Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status;
}

static NTSTATUS ChipsetLock(PKMUTEX Mutex, LONGLONG Timeout)
{
    LARGE_INTEGER timeout;

    timeout.QuadPart = Timeout;
    return KeWaitForSingleObject(Mutex, Executive, KernelMode, FALSE, &timeout);
}

/*++

Routine Description:

    Sleeps the calling thread: a timed wait on an event that is never
    signalled.

--*/
VOID ChipsetDelayUs(ULONG Microseconds)
{
    LARGE_INTEGER timeout;

    timeout.QuadPart = -(LONGLONG)Microseconds * 10;
    KeWaitForSingleObject(&g_ChipsetState.ChipsetDelayEvent, Executive, KernelMode, FALSE, &timeout);
}

VOID ChipsetDelayMs(ULONG Milliseconds)
{
    ChipsetDelayUs(Milliseconds * 1000);
}

/*++

Routine Description:

    Reads PCI configuration space through configuration mechanism #1: the
    address goes to 0xCF8 as written, the dword comes back from 0xCFC, and
    the byte or word wanted is picked out of it by the address's low bits.

Arguments:

    Width - PCI_WIDTH_BYTE, PCI_WIDTH_WORD or PCI_WIDTH_DWORD.

    Address - bit 31 enable, bus, device, function and register offset.

    Value - receives a UCHAR, USHORT or ULONG by Width.

Return Value:

    STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for an unknown width (before
    any port access).

--*/
NTSTATUS PciConfigRead(ULONG Width, ULONG Address, PVOID Value)
{
    ULONG data;

    if (Width != PCI_WIDTH_BYTE && Width != PCI_WIDTH_WORD && Width != PCI_WIDTH_DWORD) {
        return STATUS_INVALID_PARAMETER;
    }
    ChipsetWriteDword(PCI_CONFIG_ADDRESS_PORT, Address);
    data = ChipsetReadDword(PCI_CONFIG_DATA_PORT);
    if (Width == PCI_WIDTH_BYTE) {
        *(PUCHAR)Value = (UCHAR)(data >> (8 * (Address & 3)));
    } else if (Width == PCI_WIDTH_WORD) {
        *(PUSHORT)Value = (USHORT)((Address & 2) ? data >> 16 : data);
    } else {
        *(PULONG)Value = data;
    }
    return STATUS_SUCCESS;
}

static UCHAR SmbusRead(ULONG Register)
{
    return ChipsetReadByte(g_ChipsetState.SmbusBasePort + Register);
}

static VOID SmbusWrite(ULONG Register, UCHAR Value)
{
    ChipsetWriteByte(g_ChipsetState.SmbusBasePort + Register, Value);
}

static BOOLEAN SmbusCollided(VOID)
{
    return (SmbusRead(SMB_BUS_STATE) & SMB_BUS_STATE_MASK) == SMB_BUS_COLLISION;
}

/*++

Routine Description:

    Starts one attempt of a transaction on the host controller and waits for
    its result. Caller holds ChipsetMutex.

Return Value:

    STATUS_SUCCESS; STATUS_MORE_PROCESSING_REQUIRED when the bus was not free
    or a collision was seen and the attempt must be repeated;
    STATUS_UNSUCCESSFUL when the controller did not finish or reported a
    failure; STATUS_INVALID_PARAMETER for an unknown direction or protocol.

--*/
static NTSTATUS SmbusAttempt(UCHAR Address, ULONG Direction, ULONG Protocol, UCHAR Command, PUCHAR Data)
{
    UCHAR status = 0;
    UCHAR control;

    if ((SmbusRead(SMB_BUS_STATE) & SMB_BUS_STATE_MASK) != 0) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (Direction == SMBUS_READ) {
        SmbusWrite(SMB_ADDRESS, (UCHAR)((Address << 1) | 1));
    } else if (Direction == SMBUS_WRITE) {
        SmbusWrite(SMB_ADDRESS, (UCHAR)(Address << 1));
    } else {
        return STATUS_INVALID_PARAMETER;
    }

    if (Protocol == SMBUS_PROTOCOL_BYTE_DATA) {
        SmbusWrite(SMB_COMMAND, Command);
        if (Direction == SMBUS_WRITE) {
            SmbusWrite(SMB_DATA, *Data);
        }
        control = SMB_CONTROL_START | SMB_CONTROL_BYTE_DATA;
    } else if (Protocol == SMBUS_PROTOCOL_BYTE) {
        // Send byte: the byte sent travels in the command register. Receive
        // byte has no command.
        if (Direction == SMBUS_WRITE) {
            SmbusWrite(SMB_COMMAND, Command);
        }
        control = SMB_CONTROL_START | SMB_CONTROL_BYTE;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    SmbusWrite(SMB_CONTROL, (UCHAR)((SmbusRead(SMB_CONTROL) & SMB_CONTROL_KEEP) | control));

    ChipsetDelayUs(SMB_START_SETTLE_US);
    if (SmbusCollided()) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    for (ULONG poll = 0; poll < SMB_STATUS_POLLS; poll++) {
        if (poll != 0) {
            ChipsetDelayMs(SMB_POLL_SLEEP_MS);
        }
        status = SmbusRead(SMB_STATUS);
        if (status & SMB_STATUS_DONE) {
            break;
        }
    }
    if (!(status & SMB_STATUS_DONE) || (status & SMB_STATUS_FAILED)) {
        return STATUS_UNSUCCESSFUL;
    }

    if (Direction == SMBUS_READ) {
        *Data = SmbusRead(SMB_DATA);
        if (SmbusCollided()) {
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    SmbusWrite(SMB_STATUS, SMB_STATUS_CLEAR);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    One SMBus transfer to a 7-bit address: send/receive byte or byte data,
    read or write. A busy bus or a collision aborts the attempt (kill bit),
    waits 5 ms and starts over, at most 31 attempts in all. Caller holds
    ChipsetMutex.

Return Value:

    STATUS_SUCCESS; STATUS_UNSUCCESSFUL for a transfer that failed, did not
    finish, or never got through in 31 attempts; STATUS_INVALID_PARAMETER
    for an unknown direction or protocol.

--*/
NTSTATUS SmbusTransaction(UCHAR Address, ULONG Direction, ULONG Protocol, UCHAR Command, PUCHAR Data)
{
    NTSTATUS status;

    SmbusWrite(SMB_STATUS, SMB_STATUS_CLEAR);
    for (ULONG attempt = 1;; attempt++) {
        status = SmbusAttempt(Address, Direction, Protocol, Command, Data);
        if (status != STATUS_MORE_PROCESSING_REQUIRED) {
            return status;
        }
        SmbusWrite(SMB_CONTROL, (UCHAR)(SmbusRead(SMB_CONTROL) | SMB_CONTROL_KILL));
        ChipsetDelayMs(SMB_POLL_SLEEP_MS);
        if (attempt >= SMB_MAX_ATTEMPTS) {
            return STATUS_UNSUCCESSFUL;
        }
    }
}

/*++

Routine Description:

    A byte-data read or write under ChipsetMutex.

Return Value:

    The transaction's status if it failed, else STATUS_SUCCESS;
    STATUS_TIMEOUT (a success code: nothing was done) when ChipsetMutex was
    not obtained within 60 s.

--*/
NTSTATUS SmbusReadByteData(UCHAR Address, UCHAR Command, PUCHAR Data)
{
    NTSTATUS status = ChipsetLock(&g_ChipsetState.ChipsetMutex, CHIPSET_MUTEX_TIMEOUT);

    if (status == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    status = SmbusTransaction(Address, SMBUS_READ, SMBUS_PROTOCOL_BYTE_DATA, Command, Data);
    KeReleaseMutex(&g_ChipsetState.ChipsetMutex, FALSE);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS SmbusWriteByteData(UCHAR Address, UCHAR Command, UCHAR Data)
{
    NTSTATUS status = ChipsetLock(&g_ChipsetState.ChipsetMutex, CHIPSET_MUTEX_TIMEOUT);

    if (status == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    status = SmbusTransaction(Address, SMBUS_WRITE, SMBUS_PROTOCOL_BYTE_DATA, Command, &Data);
    KeReleaseMutex(&g_ChipsetState.ChipsetMutex, FALSE);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

/*++

Routine Description:

    Reads one bit (0-14) of the chipset GPIO port under ChipsetMutex.

Arguments:

    Level - receives CS_LEVEL_HIGH if the bit is set, else CS_LEVEL_LOW.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a bit above 14;
    STATUS_TIMEOUT when ChipsetMutex was not obtained (nothing read).

--*/
NTSTATUS ChipsetGpioReadBit(UCHAR Bit, PUCHAR Level)
{
    NTSTATUS status = ChipsetLock(&g_ChipsetState.ChipsetMutex, CHIPSET_MUTEX_TIMEOUT);

    if (status == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    if (Bit >= CHIPSET_GPIO_BITS) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        *Level =
            ((ChipsetReadDword(g_ChipsetState.ChipsetGpioPort) >> Bit) & 1) ? CS_LEVEL_HIGH : CS_LEVEL_LOW;
        status = STATUS_SUCCESS;
    }
    KeReleaseMutex(&g_ChipsetState.ChipsetMutex, FALSE);
    return status;
}

/*++

Routine Description:

    Drives one bit (0-14) of the chipset GPIO port by read-modify-write of
    all 32 bits, under ChipsetMutex.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for a bit above 14 or a level
    other than CS_LEVEL_LOW / CS_LEVEL_HIGH (no port access);
    STATUS_TIMEOUT when ChipsetMutex was not obtained (nothing written).

--*/
NTSTATUS ChipsetGpioWriteBit(UCHAR Bit, UCHAR Level)
{
    NTSTATUS status = ChipsetLock(&g_ChipsetState.ChipsetMutex, CHIPSET_MUTEX_TIMEOUT);
    ULONG value;

    if (status == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    if (Bit >= CHIPSET_GPIO_BITS || (Level != CS_LEVEL_LOW && Level != CS_LEVEL_HIGH)) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        value = ChipsetReadDword(g_ChipsetState.ChipsetGpioPort);
        if (Level == CS_LEVEL_HIGH) {
            value |= 1u << Bit;
        } else {
            value &= ~(1u << Bit);
        }
        ChipsetWriteDword(g_ChipsetState.ChipsetGpioPort, value);
        status = STATUS_SUCCESS;
    }
    KeReleaseMutex(&g_ChipsetState.ChipsetMutex, FALSE);
    return status;
}

static const CS_GPIO_ITEM* ChipsetFindItem(ULONG Group, ULONG Item)
{
    ULONG family = Group & 0x0F;

    for (ULONG i = 0; i < RTL_NUMBER_OF(ChipsetGpioItems); i++) {
        if (ChipsetGpioItems[i].Family == family && ChipsetGpioItems[i].Item == Item) {
            return &ChipsetGpioItems[i];
        }
    }
    return NULL;
}

/*++

Routine Description:

    Reads or drives one board signal on the chipset GPIO port by command
    group and item. Takes no lock of its own: the bit primitives do.

Arguments:

    Group - CS_GET_GPIO_A/B/C or CS_SET_GPIO_A/B/C.

    Item - CS_ITEM_1..4 for groups A and B, CS_ITEM_FWP for group C.

    Buffer - reads store CODE_LEVEL_LOW or CODE_LEVEL_HIGH; writes take one
    of those codes (checked before the item).

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for an unknown group, item or
    code; STATUS_IO_TIMEOUT when the port could not be reached (ChipsetMutex
    not obtained): nothing was read or driven, and the cell is untouched.

--*/
NTSTATUS ChipsetCommand(ULONG Group, ULONG Item, PULONG Buffer)
{
    const CS_GPIO_ITEM* item;
    NTSTATUS status;
    UCHAR level;

    if (Group == CS_GET_GPIO_A || Group == CS_GET_GPIO_B || Group == CS_GET_GPIO_C) {
        item = ChipsetFindItem(Group, Item);
        if (item == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        status = ChipsetTimeoutIsFailure(ChipsetGpioReadBit(item->Bit, &level));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (level == CS_LEVEL_LOW) {
            *Buffer = CODE_LEVEL_LOW;
        } else if (level == CS_LEVEL_HIGH) {
            *Buffer = CODE_LEVEL_HIGH;
        } else {
            return STATUS_UNSUCCESSFUL;
        }
        return STATUS_SUCCESS;
    }

    if (Group == CS_SET_GPIO_A || Group == CS_SET_GPIO_B || Group == CS_SET_GPIO_C) {
        if (*Buffer == CODE_LEVEL_LOW) {
            level = CS_LEVEL_LOW;
        } else if (*Buffer == CODE_LEVEL_HIGH) {
            level = CS_LEVEL_HIGH;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
        item = ChipsetFindItem(Group, Item);
        if (item == NULL) {
            return STATUS_INVALID_PARAMETER;
        }
        status = ChipsetTimeoutIsFailure(ChipsetGpioWriteBit(item->Bit, level));
        return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
    }

    return STATUS_INVALID_PARAMETER;
}

/*++

Routine Description:

    Identifies the south bridge (vendor 0x1039, device 0x0966 at bus 0,
    device 2, function 0) and learns its I/O block from configuration
    register 0x74: the SMBus host at base + 0xD0, the GPIO port at
    base + 0x64.

Return Value:

    STATUS_SUCCESS or STATUS_NO_SUCH_DEVICE.

--*/
NTSTATUS ChipsetInitialize(VOID)
{
    USHORT vendor = 0;
    USHORT device = 0;
    USHORT base = 0;

    KeInitializeMutex(&g_ChipsetState.ChipsetMutex, 0);
    KeInitializeEvent(&g_ChipsetState.ChipsetDelayEvent, NotificationEvent, FALSE);

    PciConfigRead(PCI_WIDTH_WORD, PCI_ADDRESS_VENDOR_ID, &vendor);
    PciConfigRead(PCI_WIDTH_WORD, PCI_ADDRESS_DEVICE_ID, &device);
    if (vendor != CHIPSET_VENDOR_ID || device != CHIPSET_DEVICE_ID) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PciConfigRead(PCI_WIDTH_WORD, PCI_ADDRESS_IO_BASE, &base);
    base &= 0xFF00;
    g_ChipsetState.SmbusBasePort = base + CHIPSET_SMBUS_OFFSET;
    g_ChipsetState.ChipsetGpioPort = base + CHIPSET_GPIO_OFFSET;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Checks that the temperature sensor answers at SMBus address 0x4C with
    its identity (register 0xFF = 0x01, 0xFE = 0x47), then reads 0xFE once
    more. Runs after ChipsetInitialize.

Return Value:

    STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE for a wrong identity; a failed
    transfer's status; STATUS_IO_TIMEOUT when the bus could not be reached.

--*/
NTSTATUS SmbusSensorInitialize(VOID)
{
    NTSTATUS status;
    UCHAR identity1 = 0;
    UCHAR identity2 = 0;

    KeInitializeMutex(&g_ChipsetState.SensorMutex, 0);
    g_ChipsetState.SensorAddress = SENSOR_ADDRESS;

    status = ChipsetTimeoutIsFailure(SmbusReadByteData(SENSOR_ADDRESS, SENSOR_REG_IDENTITY1, &identity1));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ChipsetTimeoutIsFailure(SmbusReadByteData(SENSOR_ADDRESS, SENSOR_REG_IDENTITY2, &identity2));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (identity1 != SENSOR_IDENTITY1 || identity2 != SENSOR_IDENTITY2) {
        return STATUS_NO_SUCH_DEVICE;
    }
    status = ChipsetTimeoutIsFailure(SmbusReadByteData(SENSOR_ADDRESS, SENSOR_REG_IDENTITY2, &identity2));
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

//
// Sensor command groups: the register each reads or writes.
//
typedef struct _SMB_SENSOR_COMMAND {
    ULONG Group;
    UCHAR Register;
    BOOLEAN Write;
} SMB_SENSOR_COMMAND;

static const SMB_SENSOR_COMMAND SmbusSensorCommands[] = {
    {SMB_GET_CPU_TEMPERATURE, SENSOR_REG_CPU, FALSE},
    {SMB_GET_REG_08, SENSOR_REG_08, FALSE},
    {SMB_GET_REG_07, SENSOR_REG_07, FALSE},
    {SMB_SET_REG_0E, SENSOR_REG_0E, TRUE},
    {SMB_SET_REG_0D, SENSOR_REG_0D, TRUE},
};

/*++

Routine Description:

    One command of the SMBus temperature sensor, under SensorMutex.

Arguments:

    Group - SMB_GET_... or SMB_SET_....

    Item - not examined.

    Buffer - the CPU temperature is stored as a signed value: the sensor
    reports sign and magnitude (bit 7 set: below zero); the other reads
    store the byte; writes take the cell's low byte.

Return Value:

    STATUS_SUCCESS; STATUS_INVALID_PARAMETER for an unknown group; a failed
    transfer's status; STATUS_IO_TIMEOUT when SensorMutex or the bus could
    not be obtained (nothing done, the cell untouched).

--*/
NTSTATUS SmbusSensorCommand(ULONG Group, ULONG Item, PULONG Buffer)
{
    const SMB_SENSOR_COMMAND* command = NULL;
    NTSTATUS status;
    UCHAR value;

    UNREFERENCED_PARAMETER(Item);

    if (ChipsetLock(&g_ChipsetState.SensorMutex, SENSOR_MUTEX_TIMEOUT) == STATUS_TIMEOUT) {
        return STATUS_IO_TIMEOUT;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(SmbusSensorCommands); i++) {
        if (SmbusSensorCommands[i].Group == Group) {
            command = &SmbusSensorCommands[i];
        }
    }
    if (command == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (command->Write) {
        status = ChipsetTimeoutIsFailure(
            SmbusWriteByteData(g_ChipsetState.SensorAddress, command->Register, (UCHAR)(*Buffer & 0xFF)));
    } else {
        status = ChipsetTimeoutIsFailure(
            SmbusReadByteData(g_ChipsetState.SensorAddress, command->Register, &value));
        if (NT_SUCCESS(status)) {
            if (Group == SMB_GET_CPU_TEMPERATURE && (value & 0x80)) {
                *Buffer = (ULONG)(-(LONG)(value & 0x7F));
            } else {
                *Buffer = value;
            }
        }
    }
    KeReleaseMutex(&g_ChipsetState.SensorMutex, FALSE);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
