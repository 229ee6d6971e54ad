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

#define CONTROL_INDEX_PIN_PAIR      1
#define CONTROL_INDEX_SIGNALS_FIRST 2 // classes 2, 3 and 4: indices 2 to 5
#define CONTROL_INDEX_SIGNALS_LAST  5
#define CONTROL_INDEX_BRIGHTNESS    6
#define CONTROL_INDEX_FWP_MODE      18

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

//
// Device-control requests: device type 0x8800, buffered, any access,
// functions 0x880 to 0x885. The buffers are the records above; a PWM value
// or a value code follows the record.
//
#define FILE_DEVICE_QUAV 0x8800

#define IOCTL_QUAV_NOP1         0x88002200
#define IOCTL_QUAV_NOP2         0x88002204
#define IOCTL_QUAV_READ_SENSOR  0x88002208 // in: SENSOR_RECORD; out: SENSOR_RECORD
#define IOCTL_QUAV_SET_FAN_PWM  0x8800220C // in: SENSOR_RECORD, ULONG pwm; out: SENSOR_RECORD
#define IOCTL_QUAV_READ_CONTROL 0x88002210 // in: CONTROL_RECORD; out: CONTROL_RECORD
#define IOCTL_QUAV_SET_CONTROL  0x88002214 // in: CONTROL_RECORD, ULONG value code; out: CONTROL_RECORD

//
// The names the device is reached by, and its device interface class
// {60E33CC3-C636-43BE-AC88-13299D2F0C21}.
//
#define QUAV_DEVICE_NAME_TEXT "\\Device\\QUAVDev"
#define QUAV_LINK_NAME_TEXT   "\\DosDevices\\QUAVDSL"
#define QUAV_USER_PATH_TEXT   "\\\\.\\QUAVDSL"

//
// WMI: the sensor data block, {A8C67453-1AD8-43AD-BA86-F94F2EB7306A}: one
// instance of twelve entries in the storage order of the sensors (Rear
// Upper, Rear Bottom, CPU, System, Backplane, VCCP, 1.8V, 3.3V, 5V, 12V,
// AUX, VRM); its methods 1 and 2 set the reported critical upper and lower
// limit of sensor 1-12. The event GUID {88FC5431-B608-4AEA-9D30-D59304C685FE}
// is never fired.
//
typedef struct _SENSOR_DATA_ENTRY {
    LONG CurrentValue;
    LONG CriticalUpper;
    LONG CriticalLower;
} SENSOR_DATA_ENTRY;

typedef struct _SENSOR_METHOD_INPUT {
    ULONG SensorNumber; // 1-12
    LONG Value;
} SENSOR_METHOD_INPUT;

// Initializers of the two GUIDs, for a GUID variable on either side.
// clang-format off
#define QUAV_SENSOR_DATA_GUID_INIT  {0xA8C67453, 0x1AD8, 0x43AD, {0xBA, 0x86, 0xF9, 0x4F, 0x2E, 0xB7, 0x30, 0x6A}}
#define QUAV_SENSOR_EVENT_GUID_INIT {0x88FC5431, 0xB608, 0x4AEA, {0x9D, 0x30, 0xD5, 0x93, 0x04, 0xC6, 0x85, 0xFE}}
// clang-format on

#define WMI_METHOD_SET_CRITICAL_UPPER 1
#define WMI_METHOD_SET_CRITICAL_LOWER 2

static_assert(sizeof(SENSOR_DATA_ENTRY) == 12, "SENSOR_DATA_ENTRY is 12 bytes");
static_assert(sizeof(SENSOR_METHOD_INPUT) == 8, "method input is 8 bytes");
