/*++

Module Name:

    ex.h

Abstract:

    Executive pool. Allocations carry a four-byte tag; a pool dump shows its
    bytes in memory order, so the tag 0x52454750 reads "PGER".

--*/

#pragma once

#include "ntdef.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
} POOL_TYPE;

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTSYSAPI VOID NTAPI ExFreePool(PVOID P);
NTSYSAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

#ifdef __cplusplus
}
#endif
