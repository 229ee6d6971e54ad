/*++

Module Name:

    siocommand.h

Abstract:

    The environment-controller command set: the one entry through which the
    driver reads the Super I/O's sensors and sets its outputs. A command is a
    group (what to do) and an item (on which input or output), with one
    32-bit cell as buffer.

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "hardware/superio.h"

//
// Command groups: reads, settings and start-up, raw register writes.
//
#define SIO_GET_FAN_SPEED    0x1001
#define SIO_GET_TEMPERATURE  0x1002
#define SIO_GET_VOLTAGE      0x1003
#define SIO_GET_BRIGHTNESS   0x1004
#define SIO_GET_PINS         0x1005
#define SIO_SET_FAN_PWM      0x2001
#define SIO_SET_BRIGHTNESS   0x2004
#define SIO_SET_PINS         0x2005
#define SIO_FAN_INIT_AUTO    0x2006
#define SIO_FAN_INIT         0x2007
#define SIO_BRIGHTNESS_INIT  0x2008
#define SIO_WRITE_FAN_REG_A  0x3001
#define SIO_WRITE_FAN_REG_B  0x3002
#define SIO_WRITE_TEMP_REG_A 0x3003
#define SIO_WRITE_TEMP_REG_B 0x3004
#define SIO_WRITE_VOLT_REG_A 0x3005
#define SIO_WRITE_VOLT_REG_B 0x3006

//
// Items.
//
#define SIO_ITEM_FAN1           0x8001 // Rear Upper
#define SIO_ITEM_FAN2           0x8002 // Rear Bottom
#define SIO_ITEM_TEMP_VRM       0x8003
#define SIO_ITEM_TEMP_SYSTEM    0x8004
#define SIO_ITEM_TEMP_BACKPLANE 0x8005
#define SIO_ITEM_VCCP           0x8006
#define SIO_ITEM_V18            0x8007
#define SIO_ITEM_V33            0x8008
#define SIO_ITEM_V5             0x8009
#define SIO_ITEM_V12            0x800A
#define SIO_ITEM_AUX            0x800B
#define SIO_ITEM_PWM3           0x800C // brightness output
#define SIO_ITEM_PIN_A          0x800D
#define SIO_ITEM_PIN_B          0x800E
#define SIO_ITEM_PIN_PAIR       0x800F

//
// Pin-pair codes: both pins' levels with their selection states.
//
#define SIO_PAIR_HIGH_HIGH      0x6011
#define SIO_PAIR_HIGH_LOW       0x6012
#define SIO_PAIR_LOW_HIGH       0x6013
#define SIO_PAIR_LOW_LOW        0x6014
#define SIO_PAIR_HIGH_LOW_B_OFF 0x6022
#define SIO_PAIR_LOW_HIGH_A_OFF 0x6023
#define SIO_PAIR_LOW_LOW_OFF    0x6024

NTSTATUS SioCommand(ULONG Group, ULONG Item, PULONG Buffer);
