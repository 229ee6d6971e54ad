/*++

Module Name:

    smbus.cpp

Abstract:

    Byte transfers on the south bridge's SMBus host controller, with the
    controller's restart-on-collision protocol, and the CPU temperature
    sensor behind it at address 0x4C.

    Lock order: SensorMutex, then ChipsetMutex.

Environment:

    Kernel mode only, passive level.

--*/

#include "hardware/chipset.h"
#include "hardware/convert.h"

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

#define SENSOR_MUTEX_TIMEOUT (-1200000000LL) // 120 s

static UCHAR SmbusRead(ULONG Register)
{
    return READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)(g_ChipsetState.SmbusBasePort + Register));
}

static VOID SmbusWrite(ULONG Register, UCHAR Value)
{
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)(g_ChipsetState.SmbusBasePort + Register), Value);
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
    STATUS_UNSUCCESSFUL when the controller reported a failure (collision
    or device error: not retried) or did not finish (the transaction is
    killed); STATUS_INVALID_PARAMETER for an unknown direction or protocol.

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
    if (!(status & SMB_STATUS_DONE)) {
        // A transaction that never finished still holds the host: clearing
        // the status does not end it, and the next start would be lost on
        // top of it. Only the kill bit frees the host.
        SmbusWrite(SMB_CONTROL, (UCHAR)(SmbusRead(SMB_CONTROL) | SMB_CONTROL_KILL));
        return STATUS_UNSUCCESSFUL;
    }
    if (status & SMB_STATUS_FAILED) {
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
    waits 5 ms and starts over with the status cleared, at most 31 attempts
    in all.
    Caller holds ChipsetMutex.

Return Value:

    STATUS_SUCCESS; STATUS_UNSUCCESSFUL for a transfer that failed, did not
    finish, or never got through in 31 attempts; STATUS_INVALID_PARAMETER
    for an unknown direction or protocol.

--*/
NTSTATUS SmbusTransaction(UCHAR Address, ULONG Direction, ULONG Protocol, UCHAR Command, PUCHAR Data)
{
    NTSTATUS status;

    for (ULONG attempt = 1;; attempt++) {
        // Every attempt starts from a clear status, written just before the bus state is read: a finished
        // bit left over (a collision seen after the data read, a failed transfer, or a clear that went
        // out while the host did not answer) would be taken for the end of this attempt's transaction,
        // and that one left running under the next transfer.
        SmbusWrite(SMB_STATUS, SMB_STATUS_CLEAR);
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

    Checks that the temperature sensor answers at SMBus address 0x4C with
    its identity (register 0xFF = 0x01, 0xFE = 0x47), then reads 0xFE once
    more. Runs after ChipsetInitialize.

Return Value:

    STATUS_SUCCESS; STATUS_NO_SUCH_DEVICE for a wrong identity; a failed
    transfer's status; STATUS_IO_TIMEOUT when the bus could not be reached.

--*/
CODE_SEG("PAGE") NTSTATUS SmbusSensorInitialize(VOID)
{
    PAGED_CODE();

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
            *Buffer = Group == SMB_GET_CPU_TEMPERATURE ? (ULONG)CelsiusFromSignMagnitude(value) : value;
        }
    }
    KeReleaseMutex(&g_ChipsetState.SensorMutex, FALSE);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}
