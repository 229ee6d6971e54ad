/*++

Module Name:

    chipset.cpp

Abstract:

    The SiS south bridge: identification through PCI configuration space,
    the locks and sleeps its SMBus side (smbus.cpp) shares, and the board
    signals on its 32-bit general-purpose port.

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

#define CHIPSET_GPIO_BITS 15 // bits 0-14 of the port are board signals

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
NTSTATUS ChipsetTimeoutIsFailure(NTSTATUS Status)
{
    return Status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : Status;
}

NTSTATUS ChipsetLock(PKMUTEX Mutex, LONGLONG Timeout)
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
CODE_SEG("PAGE") NTSTATUS ChipsetInitialize(VOID)
{
    PAGED_CODE();

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
