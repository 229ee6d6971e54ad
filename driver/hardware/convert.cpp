/*++

Module Name:

    convert.cpp

Abstract:

    The conversion rules of the environment controller's fan, temperature
    and voltage readings, and of the SMBus sensor's temperature.

Environment:

    Kernel mode only, any level.

--*/

#include "hardware/convert.h"
#include "hardware/ecregs.h"

/*++

Routine Description:

    A fan's tachometer divisor from register 0x0B: 2 to the power of the
    fan's three bits (fan 0: bits 0-2, fan 1: bits 3-5), 1 to 128.

--*/
ULONG FanDivisorFromRegister(UCHAR Divisors, ULONG Fan)
{
    return 1u << ((Divisors >> (Fan * EC_FAN_DIVISOR_BITS)) & EC_FAN_DIVISOR_MASK);
}

/*++

Routine Description:

    RPM from a tachometer count (high byte 0 when the fan's 16-bit counter
    is off). Both bytes at 0xFF mean the counter overflowed: the fan is
    stopped. A count of zero gives no period to divide by and reads as a
    stopped fan too. The division truncates.

--*/
ULONG FanRpmFromCount(UCHAR Low, UCHAR High, ULONG Divisor)
{
    ULONG count = (High * 256u + Low) * Divisor;

    if ((Low == 0xFF && High == 0xFF) || count == 0) {
        return 0;
    }
    return EC_FAN_CLOCK / count;
}

//
// The controller's temperature inputs read whole degrees; the byte is taken
// unsigned (0xF6 is 246, not -10).
//
ULONG CelsiusFromEcRaw(UCHAR Raw)
{
    return Raw;
}

//
// Millivolts from a voltage input through the board's divider: multiplied
// first, then divided, truncating.
//
ULONG MillivoltsFromRaw(UCHAR Raw, ULONG Multiplier, ULONG Divisor)
{
    return Raw * Multiplier / Divisor;
}

//
// The SMBus sensor reports sign and magnitude: bit 7 set is below zero.
//
LONG CelsiusFromSignMagnitude(UCHAR Raw)
{
    return (Raw & 0x80) ? -(LONG)(Raw & 0x7F) : (LONG)Raw;
}
