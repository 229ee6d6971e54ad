/*++

Module Name:

    ecregs.h

Abstract:

    The register map of the IT87-family environment controller, as far as
    the driver uses it, and the board's constants for converting its raw
    readings (convert.h).

Environment:

    Kernel mode only.

--*/

#pragma once

#include "quav.h"

//
// Identity: 0x58 reads 0x90 and 0x5B reads 0x12 on this family.
//
#define EC_REG_IDENTITY_1 0x58
#define EC_REG_IDENTITY_2 0x5B
#define EC_IDENTITY_1     0x90
#define EC_IDENTITY_2     0x12

//
// Fan tachometers. Register 0x0B holds fan 1's divisor exponent in bits
// 0-2 and fan 2's in bits 3-5; register 0x0C enables a fan's 16-bit counter
// (bit 0 fan 1, bit 1 fan 2), whose high byte then sits in 0x18 / 0x19.
//
#define EC_REG_FAN_DIVISORS    0x0B
#define EC_REG_FAN_EXTENSION   0x0C
#define EC_REG_FAN1_COUNT      0x0D
#define EC_REG_FAN2_COUNT      0x0E
#define EC_REG_FAN1_COUNT_HIGH 0x18
#define EC_REG_FAN2_COUNT_HIGH 0x19
#define EC_FAN1_EXTENSION      0x01
#define EC_FAN2_EXTENSION      0x02
#define EC_FAN_EXTENSION_ON    (EC_FAN1_EXTENSION | EC_FAN2_EXTENSION)
#define EC_FAN_DIVISOR_BITS    3 // bits per fan in register 0x0B
#define EC_FAN_DIVISOR_MASK    0x07
#define EC_FAN1_REG_A          0x10
#define EC_FAN2_REG_A          0x11
#define EC_FAN1_REG_B          0x1B
#define EC_FAN2_REG_B          0x1C

//
// Fan control: the main register gives each output to the controller
// (bits 0 and 4 fan 1, bits 1 and 5 fan 2, bit 2 output 3); the control
// register's bits 4-7 are set at start-up. Outputs 1 and 2 drive the fans,
// output 3 the front-panel brightness.
//
#define EC_REG_FAN_MAIN           0x13
#define EC_REG_FAN_CONTROL        0x14
#define EC_REG_PWM1               0x15
#define EC_REG_PWM2               0x16
#define EC_REG_PWM3               0x17
#define EC_REG_PWM3_CONTROL       0x74
#define EC_REG_FAN1_PARAMETERS    0x60 // five automatic-control parameters
#define EC_REG_FAN2_PARAMETERS    0x68
#define EC_FAN_MAIN_FAN1          0x11
#define EC_FAN_MAIN_FAN2          0x22
#define EC_FAN_MAIN_PWM3          0x04
#define EC_FAN_MAIN_KEEP_FOR_PWM3 0xCC // output 3's start-up takes both fans' bits away
#define EC_FAN_CONTROL_STARTUP    0xF0
#define EC_PWM_STARTUP            0x7F // half speed

//
// Voltage inputs, with their A (even) and B (odd) limit registers.
//
#define EC_REG_VCCP    0x20
#define EC_REG_V18     0x21
#define EC_REG_V33     0x22
#define EC_REG_V5      0x23
#define EC_REG_V12     0x24
#define EC_REG_AUX     0x27
#define EC_REG_VCCP_A  0x30
#define EC_REG_V18_A   0x32
#define EC_REG_V33_A   0x34
#define EC_REG_V5_A    0x36
#define EC_REG_V12_A   0x38
#define EC_REG_AUX_A   0x3E
#define EC_REG_LIMIT_B 1 // a B register follows its A register

//
// Temperature inputs, with their A (even) and B (odd) limit registers.
//
#define EC_REG_TEMP_SYSTEM      0x29
#define EC_REG_TEMP_VRM         0x2A
#define EC_REG_TEMP_BACKPLANE   0x2B
#define EC_REG_TEMP_VRM_A       0x40
#define EC_REG_TEMP_SYSTEM_A    0x42
#define EC_REG_TEMP_BACKPLANE_A 0x44

//
// A tachometer counts periods of a 1,350,000 Hz clock over one revolution,
// divided by the fan's divisor.
//
#define EC_FAN_CLOCK 1350000u

//
// The voltage dividers on this board, as millivolts per count times a scale:
// 16 mV at the pins, 26.88 mV behind the 5 V and AUX dividers, 64 mV behind
// the 12 V one.
//
#define EC_MV_PER_COUNT_PIN    16
#define EC_MV_PER_COUNT_5V     2688 // hundredths of a millivolt
#define EC_MV_PER_COUNT_12V    64
#define EC_MV_SCALE_HUNDREDTHS 100
