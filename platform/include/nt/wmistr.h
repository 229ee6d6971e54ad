/*++

Module Name:

    wmistr.h

Abstract:

    The buffers WMI and a provider's WMI library exchange inside system-control
    requests: the WNODE data blocks and the registration information. The
    driver never builds or parses these itself (the library does); the
    platform's WMI service and the tests use them.

    Every offset in these structures counts from the start of the structure
    that holds it, and every variable part starts on an 8-byte boundary.

--*/

#pragma once

#include "ntdef.h"
#include "ps.h"

typedef ULONGLONG ULONG64;

//
// Statuses of the WMI requests not already among the common ones.
//
#ifndef STATUS_WMI_INSTANCE_NOT_FOUND
#define STATUS_WMI_INSTANCE_NOT_FOUND ((NTSTATUS)0xC0000296)
#endif

typedef struct _WNODE_HEADER {
    ULONG BufferSize; // the whole WNODE, this header included
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

C_ASSERT(sizeof(WNODE_HEADER) == 0x30);

#define WNODE_FLAG_ALL_DATA              0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE       0x00000002
#define WNODE_FLAG_SINGLE_ITEM           0x00000004
#define WNODE_FLAG_EVENT_ITEM            0x00000008
#define WNODE_FLAG_FIXED_INSTANCE_SIZE   0x00000010
#define WNODE_FLAG_TOO_SMALL             0x00000020
#define WNODE_FLAG_INSTANCES_SAME        0x00000040
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000080
#define WNODE_FLAG_INTERNAL              0x00000100
#define WNODE_FLAG_USE_TIMESTAMP         0x00000200
#define WNODE_FLAG_PERSIST_EVENT         0x00000400
#define WNODE_FLAG_EVENT_REFERENCE       0x00002000
#define WNODE_FLAG_ANSI_INSTANCENAMES    0x00004000
#define WNODE_FLAG_METHOD_ITEM           0x00008000
#define WNODE_FLAG_PDO_INSTANCE_NAMES    0x00010000
#define WNODE_FLAG_SEVERITY_MASK         0xff000000

typedef struct {
    ULONG OffsetInstanceData;
    ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH, *POFFSETINSTANCEDATAANDLENGTH;

//
// Every instance of a data block. With WNODE_FLAG_FIXED_INSTANCE_SIZE all
// instances have FixedInstanceSize bytes and follow each other from
// DataBlockOffset, each on an 8-byte boundary; otherwise the array gives each
// instance's offset and length.
//
typedef struct tagWNODE_ALL_DATA {
    WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets;
    union {
        ULONG FixedInstanceSize;
        OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];
    };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName; // a counted string, unless the names are static
    ULONG InstanceIndex;      // with WNODE_FLAG_STATIC_INSTANCE_NAMES
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG ItemId;
    ULONG DataItemOffset;
    ULONG SizeDataItem;
    UCHAR VariableData[1];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

//
// A method call: the input at DataBlockOffset (SizeDataBlock bytes) on the way
// down, the output in the same place on the way back.
//
typedef struct tagWNODE_METHOD_ITEM {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG MethodId;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_METHOD_ITEM, *PWNODE_METHOD_ITEM;

//
// What comes back in place of the requested WNODE when the buffer could not
// hold the answer: the request itself succeeds.
//
typedef struct tagWNODE_TOO_SMALL {
    WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

//
// Registration information, the answer to IRP_MN_REGINFO(_EX). Strings are
// counted: a USHORT length in bytes followed by that many bytes of UTF-16.
//
#define WMIREG_FLAG_EXPENSIVE          0x00000001
#define WMIREG_FLAG_INSTANCE_LIST      0x00000004
#define WMIREG_FLAG_INSTANCE_BASENAME  0x00000008
#define WMIREG_FLAG_INSTANCE_PDO       0x00000020
#define WMIREG_FLAG_EVENT_ONLY_GUID    0x00000040
#define WMIREG_FLAG_TRACE_CONTROL_GUID 0x00001000
#define WMIREG_FLAG_REMOVE_GUID        0x00010000

typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList; // WMIREG_FLAG_INSTANCE_LIST: InstanceCount counted strings
        ULONG BaseNameOffset;   // WMIREG_FLAG_INSTANCE_BASENAME: one counted string
        ULONG_PTR Pdo;          // WMIREG_FLAG_INSTANCE_PDO: the names come from this device
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW;

typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;  // another WMIREGINFO at this offset, 0 for the last
    ULONG RegistryPath;    // offset of a counted string
    ULONG MofResourceName; // offset of a counted string, 0 for none
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW;

typedef WMIREGGUIDW WMIREGGUID, *PWMIREGGUID;
typedef WMIREGINFOW WMIREGINFO, *PWMIREGINFO;
