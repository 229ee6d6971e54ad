/*++

Module Name:

    superio.cpp

Abstract:

    Finds the IT87-family Super I/O at start, learns where its environment
    controller and GPIO block decode, and provides the primitive accesses the
    command set is built on.

    The chip is strapped to answer either at 0x2E/0x2F or at 0x4E/0x4F, each
    with its own entry key; until the key is written its configuration
    registers are invisible. The environment controller sits behind an
    address/data pair at base + 5 / base + 6 and may be busy (bit 7 of the
    address port) while it converts; accesses wait for it by sleeping.

Environment:

    Kernel mode only, passive level.

--*/

#include "hardware/convert.h"
#include "hardware/ecregs.h"
#include "hardware/superio.h"

SIO_STATE g_SioState;

//
// Where the chip may answer, with the entry key its strapping expects.
//
typedef struct _SIO_PROBE_SITE {
    ULONG IndexPort;
    UCHAR Key[4];
} SIO_PROBE_SITE;

static const SIO_PROBE_SITE SioProbeSites[] = {
    {0x2E, {0x87, 0x01, 0x55, 0x55}},
    {0x4E, {0x87, 0x01, 0x55, 0xAA}},
};

#define SIO_CONFIG_ANSWER 0x87 // the index port's answer in configuration mode
#define SIO_CONFIG_LEAVE  0x02 // written to the control register: back to waiting for the key
#define EC_BUSY           0x80
#define EC_BUSY_READS     16 // reads of the busy bit before giving up, 5 ms apart: 75 ms
#define EC_BUSY_SLEEP_MS  5

static UCHAR SioReadPort(ULONG Port)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port);
}

static VOID SioWritePort(ULONG Port, UCHAR Value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)Port, Value);
}

static VOID SioWriteKey(const SIO_PROBE_SITE* Site)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(Site->Key); i++) {
        SioWritePort(Site->IndexPort, Site->Key[i]);
    }
}

/*++

Routine Description:

    Enters configuration mode of the chip found at start. A chip strapped at
    0x4E is sent the key it answered the probe with: it does not recognize
    the 0x2E key.

--*/
static VOID SioEnterConfig(VOID)
{
    const SIO_PROBE_SITE* site = &SioProbeSites[0];

    for (ULONG i = 0; i < RTL_NUMBER_OF(SioProbeSites); i++) {
        if (SioProbeSites[i].IndexPort == g_SioState.ConfigIndexPort) {
            site = &SioProbeSites[i];
        }
    }
    SioWriteKey(site);
}

static VOID SioLeaveConfig(VOID)
{
    SioWritePort(g_SioState.ConfigIndexPort, SIO_CFG_CONTROL);
    SioWritePort(g_SioState.ConfigDataPort, SIO_CONFIG_LEAVE);
}

/*++

Routine Description:

    Sleeps the calling thread: a wait, with a relative timeout, on an event
    that is never signalled.

Arguments:

    Milliseconds - how long to sleep.

--*/
VOID SioDelayMs(ULONG Milliseconds)
{
    LARGE_INTEGER timeout;

    timeout.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeWaitForSingleObject(&g_SioState.SioDelayEvent, Executive, KernelMode, FALSE, &timeout);
}

/*++

Routine Description:

    Reads or writes a configuration register of a logical device; the chip
    must already be in configuration mode. The logical device is selected
    before every access.

Return Value:

    STATUS_SUCCESS: configuration accesses cannot fail.

--*/
NTSTATUS SioConfigReadInMode(UCHAR LogicalDevice, UCHAR Register, PUCHAR Value)
{
    SioWritePort(g_SioState.ConfigIndexPort, SIO_CFG_LDN_SELECT);
    SioWritePort(g_SioState.ConfigDataPort, LogicalDevice);
    SioWritePort(g_SioState.ConfigIndexPort, Register);
    *Value = SioReadPort(g_SioState.ConfigDataPort);
    return STATUS_SUCCESS;
}

NTSTATUS SioConfigWriteInMode(UCHAR LogicalDevice, UCHAR Register, UCHAR Value)
{
    SioWritePort(g_SioState.ConfigIndexPort, SIO_CFG_LDN_SELECT);
    SioWritePort(g_SioState.ConfigDataPort, LogicalDevice);
    SioWritePort(g_SioState.ConfigIndexPort, Register);
    SioWritePort(g_SioState.ConfigDataPort, Value);
    return STATUS_SUCCESS;
}

//
// The same, with configuration mode entered and left around the access.
//
NTSTATUS SioConfigRead(UCHAR LogicalDevice, UCHAR Register, PUCHAR Value)
{
    NTSTATUS status;

    SioEnterConfig();
    status = SioConfigReadInMode(LogicalDevice, Register, Value);
    SioLeaveConfig();
    return status;
}

NTSTATUS SioConfigWrite(UCHAR LogicalDevice, UCHAR Register, UCHAR Value)
{
    NTSTATUS status;

    SioEnterConfig();
    status = SioConfigWriteInMode(LogicalDevice, Register, Value);
    SioLeaveConfig();
    return status;
}

/*++

Routine Description:

    Waits until the environment controller is not busy: at most 16 reads of
    its address port, with a 5 ms sleep before each but the first.

Return Value:

    STATUS_SUCCESS, or STATUS_DEVICE_BUSY when every read showed busy; the
    address port has then not been written.

--*/
static NTSTATUS EcWaitReady(VOID)
{
    for (ULONG read = 0; read < EC_BUSY_READS; read++) {
        if (read != 0) {
            SioDelayMs(EC_BUSY_SLEEP_MS);
        }
        if ((SioReadPort(g_SioState.EcAddressPort) & EC_BUSY) == 0) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_DEVICE_BUSY;
}

/*++

Routine Description:

    Reads or writes one environment-controller register. Caller holds
    SioMutex (or is SioInitialize): the address/data pair must not be split.

Return Value:

    STATUS_SUCCESS or STATUS_DEVICE_BUSY; on failure *Value is untouched.

--*/
NTSTATUS EcReadRegister(UCHAR Register, PUCHAR Value)
{
    NTSTATUS status = EcWaitReady();

    if (!NT_SUCCESS(status)) {
        return status;
    }
    SioWritePort(g_SioState.EcAddressPort, Register);
    *Value = SioReadPort(g_SioState.EcDataPort);
    return STATUS_SUCCESS;
}

NTSTATUS EcWriteRegister(UCHAR Register, UCHAR Value)
{
    NTSTATUS status = EcWaitReady();

    if (!NT_SUCCESS(status)) {
        return status;
    }
    SioWritePort(g_SioState.EcAddressPort, Register);
    SioWritePort(g_SioState.EcDataPort, Value);
    return STATUS_SUCCESS;
}

//
// The port of a GPIO bit code: set n is at GpioBasePort + n - 1, the offset
// computed on a byte.
//
static ULONG SioGpioPort(UCHAR BitCode)
{
    return g_SioState.GpioBasePort + (UCHAR)((BitCode >> 4) - 1);
}

/*++

Routine Description:

    Reads one GPIO pin. Caller holds SioMutex.

Arguments:

    BitCode - set number in the high nibble, bit in the low nibble.

    Level - receives SIO_LEVEL_HIGH if the bit is set, else SIO_LEVEL_LOW.

Return Value:

    STATUS_SUCCESS.

--*/
NTSTATUS SioGpioReadBit(UCHAR BitCode, PUCHAR Level)
{
    UCHAR value = SioReadPort(SioGpioPort(BitCode));

    *Level = ((value >> (BitCode & 0x0F)) & 1) ? SIO_LEVEL_HIGH : SIO_LEVEL_LOW;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Drives one GPIO pin by read-modify-write of its port; the port's other
    bits are written back as read. Caller holds SioMutex.

Return Value:

    STATUS_SUCCESS, or STATUS_INVALID_PARAMETER for a level other than
    SIO_LEVEL_LOW or SIO_LEVEL_HIGH (the port has been read, not written).

--*/
NTSTATUS SioGpioWriteBit(UCHAR BitCode, UCHAR Level)
{
    ULONG port = SioGpioPort(BitCode);
    UCHAR value = SioReadPort(port);
    UCHAR mask = (UCHAR)(1u << (BitCode & 0x0F));

    if (Level == SIO_LEVEL_LOW) {
        value = (UCHAR)(value & ~mask);
    } else if (Level == SIO_LEVEL_HIGH) {
        value = (UCHAR)(value | mask);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    SioWritePort(port, value);
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    The part of initialization that runs in the configuration mode the probe
    entered: checks the environment controller's identity and reads its fan
    settings, then learns the GPIO block and sets up the signal pins.

--*/
CODE_SEG("PAGE") static NTSTATUS SioInitializeInConfig(VOID)
{
    PAGED_CODE();

    NTSTATUS status;
    UCHAR high;
    UCHAR low;
    UCHAR identity1;
    UCHAR identity2;
    UCHAR divisors;
    UCHAR select;

    SioConfigReadInMode(SIO_LDN_ENVIRONMENT, SIO_CFG_BASE_HIGH, &high);
    SioConfigReadInMode(SIO_LDN_ENVIRONMENT, SIO_CFG_BASE_LOW, &low);
    g_SioState.EcAddressPort = high * 256u + low + 5;
    g_SioState.EcDataPort = high * 256u + low + 6;

    status = EcReadRegister(EC_REG_IDENTITY_1, &identity1);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = EcReadRegister(EC_REG_IDENTITY_2, &identity2);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (identity1 != EC_IDENTITY_1 || identity2 != EC_IDENTITY_2) {
        return STATUS_NO_SUCH_DEVICE;
    }

    status = EcReadRegister(EC_REG_FAN_EXTENSION, &g_SioState.FanCountExtension);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = EcReadRegister(EC_REG_FAN_DIVISORS, &divisors);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    g_SioState.FanDivisor1 = FanDivisorFromRegister(divisors, 0);
    g_SioState.FanDivisor2 = FanDivisorFromRegister(divisors, 1);

    SioConfigReadInMode(SIO_LDN_GPIO, SIO_CFG_BASE_HIGH, &high);
    SioConfigReadInMode(SIO_LDN_GPIO, SIO_CFG_BASE_LOW, &low);
    g_SioState.GpioBasePort = high * 256u + low;

    SioConfigWriteInMode(SIO_LDN_GPIO, 0xF9, 0x10);
    SioConfigWriteInMode(SIO_LDN_GPIO, 0xFA, 0x02);

    SioConfigReadInMode(SIO_LDN_GPIO, SIO_CFG_PIN_SELECT, &select);
    g_SioState.PinModeA = (select & 0x01) ? PIN_SELECT_SET : PIN_SELECT_CLEAR;
    g_SioState.PinModeB = (select & 0x02) ? PIN_SELECT_SET : PIN_SELECT_CLEAR;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Finds the Super I/O and fills g_SioState. Probes 0x2E first, then 0x4E,
    each with its own entry key: a chip in configuration mode answers 0x87
    from its index port. Configuration mode is left before returning, also
    when the identity check or a register read fails, so that the chip does
    not stay open to stray index-port writes.

Return Value:

    STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE when no chip answers or its
    environment controller has the wrong identity; STATUS_DEVICE_BUSY when
    the controller stays busy.

--*/
CODE_SEG("PAGE") NTSTATUS SioInitialize(VOID)
{
    PAGED_CODE();

    const SIO_PROBE_SITE* site = NULL;
    NTSTATUS status;

    KeInitializeMutex(&g_SioState.SioMutex, 0);
    KeInitializeEvent(&g_SioState.SioDelayEvent, NotificationEvent, FALSE);

    for (ULONG i = 0; i < RTL_NUMBER_OF(SioProbeSites); i++) {
        SioWriteKey(&SioProbeSites[i]);
        if (SioReadPort(SioProbeSites[i].IndexPort) == SIO_CONFIG_ANSWER) {
            site = &SioProbeSites[i];
            break;
        }
    }
    if (site == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    g_SioState.ConfigIndexPort = site->IndexPort;
    g_SioState.ConfigDataPort = site->IndexPort + 1;

    status = SioInitializeInConfig();
    SioLeaveConfig();
    return status;
}
