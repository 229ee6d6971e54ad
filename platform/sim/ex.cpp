// Executive pool routines, on the current machine's pool.
#include "machine.h"

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return sim::Machine::Current().pool().Allocate(PoolType, NumberOfBytes, Tag);
}

VOID ExFreePool(PVOID P)
{
    sim::Machine::Current().pool().Free(P, nullptr);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    sim::Machine::Current().pool().Free(P, &Tag);
}

} // extern "C"
