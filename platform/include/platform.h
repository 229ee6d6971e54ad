/*++

Module Name:

    platform.h

Abstract:

    The one header through which the driver sees its platform: the kernel,
    the hardware abstraction layer and the WMI library. The kernel build
    (_WIN32) maps it onto the DDK headers (kernel/ddk.h); every other build
    gets the declarations under nt/, implemented by the user-mode platform.

    Wide literals go through WSTR so that one source yields L"..." where
    WCHAR is the compiler's 16-bit wchar_t and u"..." where it is char16_t.

--*/

#pragma once

#if defined(_WIN32)
#include "kernel/ddk.h"
#define WSTR_(s) L##s
#else
#include "nt/wdm.h"
#define WSTR_(s) u##s
#endif

#define WSTR(s) WSTR_(s)
