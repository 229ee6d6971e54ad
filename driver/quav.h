/*++

Module Name:

    quav.h

Abstract:

    The QUAV driver's chief header: what every module of the driver shares.
    The driver watches the board's fans, temperatures and voltages through an
    IT87-family Super I/O and the SMBus of the south bridge, and drives the
    fans and board signals.

Environment:

    Kernel mode only.

--*/

#pragma once

#include "platform.h"

//
// Value codes of one board signal, shared by the Super I/O pins and the
// chipset's general-purpose signals. The bit primitives underneath take and
// report the levels 1 (bit clear) and 2 (bit set).
//
#define CODE_LEVEL_LOW  0x4001
#define CODE_LEVEL_HIGH 0x4002
