/*++

Module Name:

    rtl.h

Abstract:

    Run-time library: counted strings, the kernel's wide-string helpers and
    the registry routines. Registry paths are absolute
    ("\REGISTRY\Machine\..."), names compare case-insensitively, and every
    value keeps its type.

--*/

#pragma once

#include "ntdef.h"
#include "ntstatus.h"

//
// Registry value types.
//
#define REG_NONE             0
#define REG_SZ               1
#define REG_EXPAND_SZ        2
#define REG_BINARY           3
#define REG_DWORD            4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK             6
#define REG_MULTI_SZ         7
#define REG_QWORD            11

//
// RelativeTo of the registry routines.
//
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_OPTIONAL 0x80000000

//
// Flags of a query-table entry.
//
#define RTL_QUERY_REGISTRY_SUBKEY    0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY    0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED  0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE   0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND  0x00000010
#define RTL_QUERY_REGISTRY_DIRECT    0x00000020
#define RTL_QUERY_REGISTRY_DELETE    0x00000040
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100

//
// With RTL_QUERY_REGISTRY_TYPECHECK, the expected type of a direct value
// travels in the top byte of DefaultType; a value of another type is not
// copied and the query fails with STATUS_OBJECT_TYPE_MISMATCH.
//
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                     ULONG ValueLength, PVOID Context, PVOID EntryContext);

typedef struct _RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                               PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                               PVOID Environment);
NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                              ULONG ValueType, PVOID ValueData, ULONG ValueLength);

#ifdef __cplusplus
}
#endif

//
// The kernel's wide-string helpers, on UTF-16 text. The kernel's swprintf
// takes no buffer size; it understands %d, %u, %x, %X, %s (a wide string),
// %c, %% and a field width with an optional leading zero. They are C++
// overloads here, so that they do not collide with the host library's
// wchar_t routines of the same names.
//
int swprintf(WCHAR* Buffer, const WCHAR* Format, ...);
SIZE_T wcslen(const WCHAR* String);
WCHAR* wcscpy(WCHAR* Destination, const WCHAR* Source);
