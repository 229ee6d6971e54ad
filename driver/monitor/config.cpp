/*++

Module Name:

    config.cpp

Abstract:

    Reads the driver's configuration from the registry into the device
    extension at each device start, and writes single REG_DWORD values for
    the published current readings. Every value is a REG_DWORD; an absent
    value, an absent key, or a value of another type or size reads as 0,
    and nothing is range-checked.

Environment:

    Kernel mode only, passive level.

--*/

#include "monitor/config.h"

PDEVICE_EXTENSION g_DeviceExtension;

#define REGISTRY_NAME_CHARS 64

//
// What the query routine found: a REG_DWORD's value, or nothing.
//
typedef struct _REGISTRY_DWORD {
    ULONG Value;
    BOOLEAN Found;
} REGISTRY_DWORD, *PREGISTRY_DWORD;

/*++

Routine Description:

    The query routine of ReadRegistryDword. It takes the value only when it
    is a REG_DWORD of exactly four bytes; anything else is left alone, and
    the read finds nothing.

    The kernel's own type check (RTL_QUERY_REGISTRY_TYPECHECK on a direct
    entry) came late: an older kernel ignores the flag and copies a string
    or binary value of any length over a 4-byte cell, or refuses the table
    so that every value reads 0. A query routine sees the value's type and
    length on every version.

--*/
CODE_SEG("PAGE")
static NTSTATUS NTAPI TakeDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                PVOID Context, PVOID EntryContext)
{
    PAGED_CODE();

    PREGISTRY_DWORD cell = (PREGISTRY_DWORD)EntryContext;

    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != NULL) {
        RtlCopyMemory(&cell->Value, ValueData, sizeof(ULONG));
        cell->Found = TRUE;
    }
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Reads one REG_DWORD by absolute key path and value name. The entry is
    required, so an absent value fails the query without calling the
    routine; a value of another type or size reads as absent too.

Arguments:

    KeyPath, ValueName - zero-terminated wide strings.

    Value - receives the value, or 0 on failure.

Return Value:

    STATUS_SUCCESS, or STATUS_UNSUCCESSFUL for an absent key or value, a
    value of another type or size, or any other failed query.

--*/
CODE_SEG("PAGE") NTSTATUS ReadRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value)
{
    PAGED_CODE();

    RTL_QUERY_REGISTRY_TABLE table[2];
    REGISTRY_DWORD cell;
    NTSTATUS status;

    RtlZeroMemory(table, sizeof(table));
    cell.Value = 0;
    cell.Found = FALSE;
    table[0].QueryRoutine = TakeDword;
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = (PWSTR)ValueName;
    table[0].EntryContext = &cell;
    table[0].DefaultType = REG_NONE;

    status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, KeyPath, table, NULL, NULL);
    if (!NT_SUCCESS(status) || !cell.Found) {
        *Value = 0;
        return STATUS_UNSUCCESSFUL;
    }
    *Value = cell.Value;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Writes one REG_DWORD under an absolute key path.

Return Value:

    STATUS_SUCCESS, or STATUS_UNSUCCESSFUL when the write fails.

--*/
NTSTATUS WriteRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG Value)
{
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, KeyPath, ValueName,
                                            REG_DWORD, &Value, sizeof(ULONG));

    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

CODE_SEG("PAGE") static ULONG ReadDword(PCWSTR KeyPath, PCWSTR ValueName)
{
    PAGED_CODE();

    ULONG value;

    ReadRegistryDword(KeyPath, ValueName, &value);
    return value;
}

//
// Numbered names: "FANCNTL_RU_PWM_%d" and the like, n counting up from 0.
//
CODE_SEG("PAGE") static VOID ReadNumbered(PCWSTR KeyPath, PCWSTR Format, ULONG Count, PULONG Values)
{
    PAGED_CODE();

    WCHAR name[REGISTRY_NAME_CHARS];

    for (ULONG n = 0; n < Count; n++) {
        swprintf(name, Format, (int)n);
        Values[n] = ReadDword(KeyPath, name);
    }
}

//
// The registry names of one fan's profile.
//
typedef struct _FAN_PROFILE_NAMES {
    PCWSTR Mode;
    PCWSTR CurrentStage;
    PCWSTR Pwm;
    PCWSTR TempCheckPoint;
    PCWSTR TempCushion;
} FAN_PROFILE_NAMES;

static const FAN_PROFILE_NAMES FanProfileNames[FAN_PROFILES] = {
    {WSTR("FANCNTL_RU_MODE"), WSTR("FANCNTL_RU_CURRENT_STAGE"), WSTR("FANCNTL_RU_PWM_%d"),
     WSTR("FANCNTL_RU_TEMP_CHECK_POINT_%d"), WSTR("FANCNTL_RU_TEMP_CUSHION")},
    {WSTR("FANCNTL_RB_MODE"), WSTR("FANCNTL_RB_CURRENT_STAGE"), WSTR("FANCNTL_RB_PWM_%d"),
     WSTR("FANCNTL_RB_TEMP_CHECK_POINT_%d"), WSTR("FANCNTL_RB_TEMP_CUSHION")},
};

//
// Where each sensor slot's four limits live: key and value-name prefix.
//
typedef struct _THRESHOLD_NAMES {
    PCWSTR KeyPath;
    PCWSTR Prefix;
} THRESHOLD_NAMES;

static const THRESHOLD_NAMES ThresholdNames[SENSOR_COUNT] = {
    {QUAV_FANCONTROL_KEY, WSTR("FANSPEED_RU")},    {QUAV_FANCONTROL_KEY, WSTR("FANSPEED_RB")},
    {QUAV_THERMAL_KEY, WSTR("THERMAL_CPU")},       {QUAV_THERMAL_KEY, WSTR("THERMAL_SYSTEM")},
    {QUAV_THERMAL_KEY, WSTR("THERMAL_BACKPLANE")}, {QUAV_THERMAL_KEY, WSTR("THERMAL_VRM")},
    {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_VCCP")},      {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_18V")},
    {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_33V")},       {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_5V")},
    {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_12V")},       {QUAV_VOLTAGE_KEY, WSTR("VOLTAGE_AUX")},
};

static const PCWSTR ThresholdSuffixes[4] = {
    WSTR("%s_WARN_THD_UPPER"),
    WSTR("%s_WARN_THD_LOWER"),
    WSTR("%s_CRIT_THD_UPPER"),
    WSTR("%s_CRIT_THD_LOWER"),
};

CODE_SEG("PAGE") static VOID LoadFanProfile(PFAN_CONTROL_PROFILE Profile, const FAN_PROFILE_NAMES* Names)
{
    PAGED_CODE();

    Profile->Mode = ReadDword(QUAV_FANCONTROL_KEY, Names->Mode);
    Profile->CurrentStage = ReadDword(QUAV_FANCONTROL_KEY, Names->CurrentStage);
    Profile->CurrentTemp = 0;
    ReadNumbered(QUAV_FANCONTROL_KEY, Names->Pwm, FAN_STAGES, Profile->Pwm);
    ReadNumbered(QUAV_FANCONTROL_KEY, Names->TempCheckPoint, FAN_CHECK_POINTS,
                 (PULONG)Profile->TempCheckPoint);
    Profile->TempCushion = (LONG)ReadDword(QUAV_FANCONTROL_KEY, Names->TempCushion);
}

CODE_SEG("PAGE") static VOID LoadThresholds(PTHRESHOLD_SET Set, const THRESHOLD_NAMES* Names)
{
    PAGED_CODE();

    WCHAR name[REGISTRY_NAME_CHARS];
    LONG* limits[4] = {&Set->WarnUpper, &Set->WarnLower, &Set->CritUpper, &Set->CritLower};

    for (ULONG i = 0; i < RTL_NUMBER_OF(limits); i++) {
        swprintf(name, ThresholdSuffixes[i], Names->Prefix);
        *limits[i] = (LONG)ReadDword(Names->KeyPath, name);
    }
}

/*++

Routine Description:

    Reads every configuration value into the extension, in a fixed order:
    Parameters, LED, FanControl (the init flag, then each fan's profile),
    then the limits of the twelve sensor slots. A failed read has already
    stored 0, so no status is examined.

--*/
CODE_SEG("PAGE") VOID LoadConfiguration(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    ULONG seconds = ReadDword(QUAV_PARAMETERS_KEY, WSTR("POLLING_INTERVAL"));

    Extension->PollInterval = -(LONGLONG)seconds * 10000000;
    Extension->PublishCurrent = ReadDword(QUAV_PARAMETERS_KEY, WSTR("CURRENT_STAGE"));
    Extension->WarningEventLog = ReadDword(QUAV_PARAMETERS_KEY, WSTR("WARNING_EVENTLOG"));
    Extension->CriticalEventLog = ReadDword(QUAV_PARAMETERS_KEY, WSTR("CRITICAL_EVENTLOG"));
    Extension->FwpMode = ReadDword(QUAV_PARAMETERS_KEY, WSTR("FWP_MODE"));

    ReadNumbered(QUAV_LED_KEY, WSTR("BRIGHTNESS_LVL_%d"), BRIGHTNESS_LEVELS, Extension->BrightnessLevel);

    Extension->FanControlInit = ReadDword(QUAV_FANCONTROL_KEY, WSTR("FANCNTL_INIT"));
    for (ULONG fan = 0; fan < FAN_PROFILES; fan++) {
        LoadFanProfile(&Extension->FanProfile[fan], &FanProfileNames[fan]);
    }

    for (ULONG slot = 0; slot < SENSOR_COUNT; slot++) {
        LoadThresholds(&Extension->Thresholds[slot], &ThresholdNames[slot]);
    }
}
