/*++

Module Name:

    convert.h

Abstract:

    Conversions of the sensors' raw register values into RPM, degrees C and
    millivolts: pure functions, kept apart from the port accesses that fetch
    the bytes so that each rule can be checked on known values.

Environment:

    Kernel mode only, any level.

--*/

#pragma once

#include "quav.h"

ULONG FanDivisorFromRegister(UCHAR Divisors, ULONG Fan);
ULONG FanRpmFromCount(UCHAR Low, UCHAR High, ULONG Divisor);
ULONG CelsiusFromEcRaw(UCHAR Raw);
ULONG MillivoltsFromRaw(UCHAR Raw, ULONG Multiplier, ULONG Divisor);
LONG CelsiusFromSignMagnitude(UCHAR Raw);
