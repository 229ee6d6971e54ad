/*++

Module Name:

    config.h

Abstract:

    The driver's registry configuration: fixed absolute keys under the
    service key, every value a REG_DWORD, absent values read as 0, read once
    per device start; and the routine that publishes current values.

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

#define QUAV_SERVICE_KEY    WSTR("\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\QUAV")
#define QUAV_PARAMETERS_KEY QUAV_SERVICE_KEY WSTR("\\Parameters")
#define QUAV_LED_KEY        QUAV_PARAMETERS_KEY WSTR("\\LED")
#define QUAV_FANCONTROL_KEY QUAV_PARAMETERS_KEY WSTR("\\FanControl")
#define QUAV_THERMAL_KEY    QUAV_PARAMETERS_KEY WSTR("\\THERMAL")
#define QUAV_VOLTAGE_KEY    QUAV_PARAMETERS_KEY WSTR("\\VOLTAGE")

NTSTATUS ReadRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value);
NTSTATUS WriteRegistryDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG Value);
VOID LoadConfiguration(PDEVICE_EXTENSION Extension);
