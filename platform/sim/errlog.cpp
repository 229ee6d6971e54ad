// The I/O manager's error-log routines, on the current machine's event log.
#include "entry.h"
#include "machine.h"

extern "C" {

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    const sim::OperationEntry entry(sim::Op::IoAllocateErrorLogEntry);
    return sim::Machine::Current().eventlog().AllocateEntry(IoObject, EntrySize);
}

VOID IoWriteErrorLogEntry(PVOID ElEntry)
{
    const sim::OperationEntry entry(sim::Op::IoWriteErrorLogEntry);
    sim::Machine::Current().eventlog().WriteEntry(ElEntry);
}

} // extern "C"
