/*++

Module Name:

    ps.h

Abstract:

    System threads and the object manager's handles and references, as a
    driver uses them to run and later wait for a thread of its own.

--*/

#pragma once

#include "ke.h"

typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

#define THREAD_ALL_ACCESS 0x001F03FF
#define OBJ_KERNEL_HANDLE 0x00000200

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    do {                                                                                                     \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = (r);                                                                            \
        (p)->Attributes = (a);                                                                               \
        (p)->ObjectName = (n);                                                                               \
        (p)->SecurityDescriptor = (s);                                                                       \
        (p)->SecurityQualityOfService = NULL;                                                                \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID(NTAPI* PKSTART_ROUTINE)(PVOID StartContext);

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                             POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                             PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                             PVOID StartContext);
NTSYSAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);

NTSYSAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                  PVOID* Object, PVOID HandleInformation);
NTSYSAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

#ifdef __cplusplus
}
#endif

#define ObDereferenceObject(o) ObfDereferenceObject(o)
