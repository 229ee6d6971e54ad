/*++

Module Name:

    quavpub.h

Abstract:

    What the QUAV driver and its user-mode clients share: the sensor and
    control records exchanged through device-control requests, byte for
    byte, and the numbers that name sensors, signal items and value codes.

    Include it after the header that defines ULONG, LONG and UCHAR (the
    driver's platform header, or the user-mode system headers).

--*/

#pragma once

//
// Sensor types and ids.
//
#define SENSOR_TYPE_FAN         6
#define SENSOR_TYPE_TEMPERATURE 7
#define SENSOR_TYPE_VOLTAGE     8

#define SENSOR_ID_REAR_UPPER  7
#define SENSOR_ID_REAR_BOTTOM 8
#define SENSOR_ID_CPU         9
#define SENSOR_ID_SYSTEM      10
#define SENSOR_ID_BACKPLANE   11
#define SENSOR_ID_VCCP        12
#define SENSOR_ID_V18         13
#define SENSOR_ID_V33         14
#define SENSOR_ID_V5          15
#define SENSOR_ID_V12         16
#define SENSOR_ID_AUX         17
#define SENSOR_ID_VRM         19

#define SENSOR_COUNT  12
#define CONTROL_COUNT 15

//
// Control classes, and the value codes each class reads and takes.
//
#define CONTROL_CLASS_PIN_PAIR   1 // index 1: the Super I/O pin pair
#define CONTROL_CLASS_SIGNALS    2 // index 2-5: two chipset signals each
#define CONTROL_CLASS_READ_ONLY3 3 // index 2-5: no hardware, read-only
#define CONTROL_CLASS_READ_ONLY4 4 // index 2-5: no hardware, read-only
#define CONTROL_CLASS_BRIGHTNESS 5 // index 6: ten configured levels
#define CONTROL_CLASS_FWP_MODE   9 // index 18: the FWP mode signal

#define VALUE_PIN_PAIR_HIGH_HIGH      0x8000
#define VALUE_PIN_PAIR_HIGH_LOW       0x8001
#define VALUE_PIN_PAIR_LOW_HIGH       0x8002
#define VALUE_PIN_PAIR_LOW_LOW        0x8003
#define VALUE_PIN_PAIR_HIGH_LOW_B_OFF 0x8011
#define VALUE_PIN_PAIR_LOW_HIGH_A_OFF 0x8012

#define VALUE_SIGNALS_HIGH_HIGH 0x8100 // first signal high, second high
#define VALUE_SIGNALS_LOW_HIGH  0x8101
#define VALUE_SIGNALS_HIGH_LOW  0x8102
#define VALUE_SIGNALS_LOW_LOW   0x8103

#define VALUE_BRIGHTNESS_0 0x8200 // to 0x8209: level 0 to 9

#define VALUE_FWP_HIGH 0x9000 // the signal driven high
#define VALUE_FWP_LOW  0x9001 // the signal driven low

//
// One sensor: 64 bytes, little-endian. ThresholdSet is the sensor's slot in
// the driver's limit table; in a user-mode copy it is opaque and comes back
// as sent, as do the reserved fields.
//
typedef struct _SENSOR_RECORD {
    ULONG Reserved0[2];
    ULONG SensorType;
    ULONG SensorId;
    LONG Value;
    LONG CurrentValue;
    LONG CriticalUpper;
    LONG CriticalLower;
    ULONG ThresholdSet;
    UCHAR Reserved1;
    UCHAR Padding1[3];
    ULONG Reserved2;
    ULONG WarningUpperCount;
    ULONG WarningLowerCount;
    ULONG CriticalUpperCount;
    ULONG CriticalLowerCount;
    UCHAR WarningActive;
    UCHAR CriticalActive;
    UCHAR Padding2[2];
} SENSOR_RECORD, *PSENSOR_RECORD;

static_assert(sizeof(SENSOR_RECORD) == 64, "SENSOR_RECORD is 64 bytes");
static_assert(__builtin_offsetof(SENSOR_RECORD, SensorType) == 8, "SensorType at 8");
static_assert(__builtin_offsetof(SENSOR_RECORD, SensorId) == 12, "SensorId at 12");
static_assert(__builtin_offsetof(SENSOR_RECORD, Value) == 16, "Value at 16");
static_assert(__builtin_offsetof(SENSOR_RECORD, CurrentValue) == 20, "CurrentValue at 20");
static_assert(__builtin_offsetof(SENSOR_RECORD, CriticalUpper) == 24, "CriticalUpper at 24");
static_assert(__builtin_offsetof(SENSOR_RECORD, CriticalLower) == 28, "CriticalLower at 28");
static_assert(__builtin_offsetof(SENSOR_RECORD, ThresholdSet) == 32, "ThresholdSet at 32");
static_assert(__builtin_offsetof(SENSOR_RECORD, Reserved1) == 36, "reserved byte at 36");
static_assert(__builtin_offsetof(SENSOR_RECORD, Reserved2) == 40, "reserved word at 40");
static_assert(__builtin_offsetof(SENSOR_RECORD, WarningUpperCount) == 44, "WarningUpperCount at 44");
static_assert(__builtin_offsetof(SENSOR_RECORD, WarningLowerCount) == 48, "WarningLowerCount at 48");
static_assert(__builtin_offsetof(SENSOR_RECORD, CriticalUpperCount) == 52, "CriticalUpperCount at 52");
static_assert(__builtin_offsetof(SENSOR_RECORD, CriticalLowerCount) == 56, "CriticalLowerCount at 56");
static_assert(__builtin_offsetof(SENSOR_RECORD, WarningActive) == 60, "WarningActive at 60");
static_assert(__builtin_offsetof(SENSOR_RECORD, CriticalActive) == 61, "CriticalActive at 61");

//
// One signal item: 32 bytes, little-endian.
//
typedef struct _CONTROL_RECORD {
    ULONG Reserved0[2];
    ULONG ControlClass;
    ULONG ControlIndex;
    ULONG Value;
    ULONG CurrentValue;
    ULONG Reserved1;
    UCHAR Reserved2;
    UCHAR Padding[3];
} CONTROL_RECORD, *PCONTROL_RECORD;

static_assert(sizeof(CONTROL_RECORD) == 32, "CONTROL_RECORD is 32 bytes");
static_assert(__builtin_offsetof(CONTROL_RECORD, ControlClass) == 8, "ControlClass at 8");
static_assert(__builtin_offsetof(CONTROL_RECORD, ControlIndex) == 12, "ControlIndex at 12");
static_assert(__builtin_offsetof(CONTROL_RECORD, Value) == 16, "Value at 16");
static_assert(__builtin_offsetof(CONTROL_RECORD, CurrentValue) == 20, "CurrentValue at 20");
static_assert(__builtin_offsetof(CONTROL_RECORD, Reserved1) == 24, "reserved word at 24");
static_assert(__builtin_offsetof(CONTROL_RECORD, Reserved2) == 28, "reserved byte at 28");
