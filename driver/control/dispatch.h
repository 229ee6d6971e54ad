/*++

Module Name:

    dispatch.h

Abstract:

    Create, close and device-control dispatch (the module quavdispatch), and
    the one routine through which the driver completes requests.

Environment:

    Kernel mode only, passive level.

--*/

#pragma once

#include "quav.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;
