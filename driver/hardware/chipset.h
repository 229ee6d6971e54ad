/*++

Module Name:

    chipset.h

Abstract:

    Access to the SiS south bridge: PCI configuration space (to identify the
    bridge and find its I/O block at start), the SMBus host controller with
    the CPU temperature sensor on its bus, and the 32-bit general-purpose
    port whose single bits are board signals.

Environment:

    Kernel mode only, passive level: the primitives sleep.

--*/

#pragma once

#include "quav.h"

//
// Width codes of PciConfigRead.
//
#define PCI_WIDTH_BYTE  0x1001
#define PCI_WIDTH_WORD  0x1002
#define PCI_WIDTH_DWORD 0x1003

//
// Configuration addresses of the bridge: bus 0, device 2, function 0.
//
#define PCI_ADDRESS_VENDOR_ID 0x80001000
#define PCI_ADDRESS_DEVICE_ID 0x80001002
#define PCI_ADDRESS_IO_BASE   0x80001074

//
// SMBus transactions: direction and protocol.
//
#define SMBUS_READ               0x1001
#define SMBUS_WRITE              0x1002
#define SMBUS_PROTOCOL_BYTE      0x2001
#define SMBUS_PROTOCOL_BYTE_DATA 0x2002

//
// Chipset command groups and items. The items name GPIO bits per group.
//
#define CS_GET_GPIO_A 0x1001
#define CS_GET_GPIO_B 0x1002
#define CS_GET_GPIO_C 0x1003
#define CS_SET_GPIO_A 0x2001
#define CS_SET_GPIO_B 0x2002
#define CS_SET_GPIO_C 0x2003

#define CS_ITEM_1   0x8001
#define CS_ITEM_2   0x8002
#define CS_ITEM_3   0x8003
#define CS_ITEM_4   0x8004
#define CS_ITEM_FWP 0x8005

//
// SMBus sensor command groups. Only the CPU temperature has a caller.
//
#define SMB_GET_CPU_TEMPERATURE 0x1001
#define SMB_GET_REG_08          0x1002
#define SMB_GET_REG_07          0x1003
#define SMB_SET_REG_0E          0x2001
#define SMB_SET_REG_0D          0x2002

#define SMB_ITEM_CPU 0x6002

//
// Levels of the GPIO bit primitives.
//
#define CS_LEVEL_LOW  1
#define CS_LEVEL_HIGH 2

typedef struct _CHIPSET_STATE {
    ULONG SmbusBasePort;      // chipset I/O base + 0xD0
    ULONG ChipsetGpioPort;    // chipset I/O base + 0x64; a 32-bit port
    KMUTEX ChipsetMutex;      // every SMBus transaction and GPIO port access
    KEVENT ChipsetDelayEvent; // never signalled: a timed wait on it is the sleep
    UCHAR SensorAddress;      // 7-bit SMBus address of the temperature sensor
    KMUTEX SensorMutex;       // every sensor command; taken before ChipsetMutex
} CHIPSET_STATE, *PCHIPSET_STATE;

extern CHIPSET_STATE g_ChipsetState;

#define CHIPSET_MUTEX_TIMEOUT (-600000000LL) // 60 s, in 100 ns units

VOID ChipsetDelayUs(ULONG Microseconds);
VOID ChipsetDelayMs(ULONG Milliseconds);

//
// A wait on ChipsetMutex or SensorMutex with a relative timeout; the
// timeout's STATUS_TIMEOUT turned into the failure it is for a caller that
// would store or report a value.
//
NTSTATUS ChipsetLock(PKMUTEX Mutex, LONGLONG Timeout);
NTSTATUS ChipsetTimeoutIsFailure(NTSTATUS Status);

NTSTATUS PciConfigRead(ULONG Width, ULONG Address, PVOID Value);

NTSTATUS SmbusTransaction(UCHAR Address, ULONG Direction, ULONG Protocol, UCHAR Command, PUCHAR Data);
NTSTATUS SmbusReadByteData(UCHAR Address, UCHAR Command, PUCHAR Data);
NTSTATUS SmbusWriteByteData(UCHAR Address, UCHAR Command, UCHAR Data);

NTSTATUS ChipsetGpioReadBit(UCHAR Bit, PUCHAR Level);
NTSTATUS ChipsetGpioWriteBit(UCHAR Bit, UCHAR Level);

NTSTATUS ChipsetCommand(ULONG Group, ULONG Item, PULONG Buffer);
NTSTATUS ChipsetInitialize(VOID);

NTSTATUS SmbusSensorInitialize(VOID);
NTSTATUS SmbusSensorCommand(ULONG Group, ULONG Item, PULONG Buffer);
