/*++

Module Name:

    quavpnp.h

Abstract:

    Plug and Play, power and removal (the module quavpnp), and driver entry
    with device creation.

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

VOID SetPnpState(PDEVICE_EXTENSION Extension, DEVICE_PNP_STATE State);

DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;

DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD DriverUnload;

extern "C" DRIVER_INITIALIZE DriverEntry;
