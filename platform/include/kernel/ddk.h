/*++

Module Name:

    ddk.h

Abstract:

    The kernel build's platform: the DDK headers of the cross compiler,
    plus what the driver uses and those headers leave out. WCHAR is the
    compiler's 16-bit wchar_t here.

--*/

#pragma once

#include <ntddk.h>
#include <wmilib.h>
#include <wmistr.h>

//
// The kernel exports swprintf without a count argument; no DDK header
// declares it, and the C library's (which takes one) is not available to
// a driver.
//
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

//
// Code placement: GCC has no #pragma alloc_text, so a routine names its
// section. CODE_SEG("PAGE"): pageable, entered at IRQL <= APC_LEVEL only;
// CODE_SEG("INIT"): discarded once DriverEntry has returned. ld cannot mark
// a section discardable: the build sets INIT's flag after the link.
//
#define CODE_SEG(Section) __attribute__((section(Section)))

//
// Flags and readings shared between threads without a lock: single
// aligned accesses, which x86 performs atomically, through volatile so the
// compiler neither caches nor splits them.
//
FORCEINLINE UCHAR ReadUCharNoFence(const volatile UCHAR* Source)
{
    return *Source;
}

FORCEINLINE VOID WriteUCharNoFence(volatile UCHAR* Destination, UCHAR Value)
{
    *Destination = Value;
}

FORCEINLINE LONG ReadNoFence(const volatile LONG* Source)
{
    return *Source;
}

FORCEINLINE VOID WriteNoFence(volatile LONG* Destination, LONG Value)
{
    *Destination = Value;
}
