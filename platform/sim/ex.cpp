// Executive pool routines, on the current machine's pool.
#include "entry.h"
#include "machine.h"

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const sim::OperationEntry entry((PoolType & 1) != 0 ? sim::Op::ExAllocatePagedPool
                                                        : sim::Op::ExAllocatePoolWithTag);
    return sim::Machine::Current().pool().Allocate(PoolType, NumberOfBytes, Tag);
}

VOID ExFreePool(PVOID P)
{
    const int type = sim::Machine::Current().pool().TypeOf(P);
    const sim::OperationEntry entry(type > 0 && (type & 1) != 0 ? sim::Op::ExFreePagedPool
                                                                : sim::Op::ExFreePool);
    sim::Machine::Current().pool().Free(P, nullptr);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    sim::Machine::Current().pool().Free(P, &Tag);
}

} // extern "C"
