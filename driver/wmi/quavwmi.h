/*++

Module Name:

    quavwmi.h

Abstract:

    WMI registration and requests (the module quavwmi).

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

VOID RegisterWmi(PDEVICE_OBJECT DeviceObject);
VOID DeregisterWmi(PDEVICE_OBJECT DeviceObject);
DRIVER_DISPATCH DispatchSystemControl;
