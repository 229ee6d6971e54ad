/*++

Module Name:

    superio.h

Abstract:

    Access to the IT87-family Super I/O: its configuration registers (behind
    an index/data port pair and an entry key), the registers of its
    environment controller (behind an address/data pair with a busy bit) and
    single bits of its general-purpose I/O ports.

    SioInitialize runs once per device start, before any command; afterwards
    every primitive is used only by SioCommand, with SioMutex held.

Environment:

    Kernel mode only, passive level: the primitives sleep.

--*/

#pragma once

#include "quav.h"

//
// Selection state of the two signal pins, mirroring bits 0 (pin A) and 1
// (pin B) of configuration register 0xC1 of logical device 5.
//
#define PIN_SELECT_SET   0x1001
#define PIN_SELECT_CLEAR 0x1002

//
// Levels of the GPIO bit operations.
//
#define SIO_LEVEL_LOW  1
#define SIO_LEVEL_HIGH 2

//
// GPIO bit codes: the high nibble is the set number counted from 1, the low
// nibble the bit within that set's port.
//
#define SIO_GPIO_PIN_A 0x20
#define SIO_GPIO_PIN_B 0x21

//
// Logical devices and configuration registers.
//
#define SIO_LDN_ENVIRONMENT 4
#define SIO_LDN_GPIO        5
#define SIO_CFG_LDN_SELECT  0x07
#define SIO_CFG_CONTROL     0x02
#define SIO_CFG_BASE_HIGH   0x60
#define SIO_CFG_BASE_LOW    0x61
#define SIO_CFG_PIN_SELECT  0xC1

typedef struct _SIO_STATE {
    ULONG ConfigIndexPort; // 0x2E or 0x4E, whichever answered the probe
    ULONG ConfigDataPort;  // index port + 1
    ULONG EcAddressPort;   // environment controller base + 5; bit 7 reads busy
    ULONG EcDataPort;      // environment controller base + 6
    ULONG GpioBasePort;    // GPIO block of logical device 5
    // Register 0x0C as read at initialization and as the start-up commands then set it: bit n = fan n+1
    // has a high count byte.
    UCHAR FanCountExtension;
    ULONG FanDivisor1; // 2 ^ bits 0-2 of register 0x0B
    ULONG FanDivisor2; // 2 ^ bits 3-5 of register 0x0B
    ULONG PinModeA;    // PIN_SELECT_SET or PIN_SELECT_CLEAR
    ULONG PinModeB;
    KMUTEX SioMutex;      // serializes every command
    KEVENT SioDelayEvent; // never signalled: a timed wait on it is the sleep
} SIO_STATE, *PSIO_STATE;

extern SIO_STATE g_SioState;

VOID SioDelayMs(ULONG Milliseconds);

NTSTATUS SioConfigReadInMode(UCHAR LogicalDevice, UCHAR Register, PUCHAR Value);
NTSTATUS SioConfigWriteInMode(UCHAR LogicalDevice, UCHAR Register, UCHAR Value);
NTSTATUS SioConfigRead(UCHAR LogicalDevice, UCHAR Register, PUCHAR Value);
NTSTATUS SioConfigWrite(UCHAR LogicalDevice, UCHAR Register, UCHAR Value);

NTSTATUS EcReadRegister(UCHAR Register, PUCHAR Value);
NTSTATUS EcWriteRegister(UCHAR Register, UCHAR Value);

NTSTATUS SioGpioReadBit(UCHAR BitCode, PUCHAR Level);
NTSTATUS SioGpioWriteBit(UCHAR BitCode, UCHAR Level);

NTSTATUS SioInitialize(VOID);
