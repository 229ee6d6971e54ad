/*++

Module Name:

    ntdef.h

Abstract:

    Base types, status test and memory helpers of the kernel, spelled as the
    kernel spells them, for the simulated build. LONG and ULONG are 32-bit
    (int) on both hosts, LP64 x86-64 and ILP32 x86; WCHAR is UTF-16.

    On x86 the structures are laid out as the x86 DDK lays them out, so that
    a loaded quav.sys and the simulated kernel share them: the Microsoft
    compiler aligns 64-bit integers to 8 bytes inside structures where the
    i386 System V ABI aligns them to 4, hence the aligned 64-bit types below
    (-malign-double would do it too, but breaks the C library's ABI). The
    calling conventions are the kernel's: NTAPI is stdcall, FASTCALL passes
    the first two arguments in ecx and edx.

    Kernel mode declarations only: nothing here includes a host header.

--*/

#pragma once

#define VOID  void
#define CONST const
#define IN
#define OUT
#define OPTIONAL
#if defined(__i386__)
#define NTAPI        __attribute__((stdcall))
#define FASTCALL     __attribute__((fastcall))
#define QUAV_ALIGN64 __attribute__((aligned(8)))
#else
#define NTAPI
#define FASTCALL
#define QUAV_ALIGN64
#endif
#define NTSYSAPI
#define FORCEINLINE inline __attribute__((always_inline))

#ifndef NULL
#define NULL 0
#endif

#define TRUE  1
#define FALSE 0

typedef char CHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int LONG;
typedef unsigned int ULONG;
typedef long long LONGLONG QUAV_ALIGN64;
typedef unsigned long long ULONGLONG QUAV_ALIGN64;
typedef long LONG_PTR;
typedef unsigned long ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef UCHAR BOOLEAN;
typedef char16_t WCHAR;

typedef void* PVOID;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef LONG KPRIORITY;

typedef union alignas(8) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

//
// Counted UTF-16 string: Length and MaximumLength are in bytes; the text
// need not be terminated.
//
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define NT_SUCCESS(Status)        (((NTSTATUS)(Status)) >= 0)
#define FIELD_OFFSET(type, field) ((LONG) __builtin_offsetof(type, field))
#define RTL_NUMBER_OF(A)          (sizeof(A) / sizeof((A)[0]))
#define C_ASSERT(e)               static_assert(e, #e)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define RtlZeroMemory(D, L)       __builtin_memset((D), 0, (L))
#define RtlFillMemory(D, L, F)    __builtin_memset((D), (F), (L))
#define RtlCopyMemory(D, S, L)    __builtin_memcpy((D), (S), (L))
#define RtlMoveMemory(D, S, L)    __builtin_memmove((D), (S), (L))

//
// Code placement. CODE_SEG("PAGE") puts a routine in the pageable section,
// CODE_SEG("INIT") in the section the kernel discards once DriverEntry has
// returned (what #pragma alloc_text does for the Microsoft compiler). Only
// the kernel image has the sections; here every routine stays resident.
//
#define CODE_SEG(Section)
