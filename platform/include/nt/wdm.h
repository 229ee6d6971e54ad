/*++

Module Name:

    wdm.h

Abstract:

    The simulated build's view of the kernel: everything the driver may call.

--*/

#pragma once

#include "ntdef.h"
#include "ntstatus.h"
#include "ke.h"
#include "ex.h"
#include "hal.h"
#include "rtl.h"
#include "ps.h"
#include "io.h"
#include "wmilib.h"
#include "wmistr.h"
#include "x86_layout.h"
