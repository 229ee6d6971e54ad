// The I/O manager's error-log routines, on the current machine's event log.
#include "machine.h"

extern "C" {

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    return sim::Machine::Current().eventlog().AllocateEntry(IoObject, EntrySize);
}

VOID IoWriteErrorLogEntry(PVOID ElEntry)
{
    sim::Machine::Current().eventlog().WriteEntry(ElEntry);
}

} // extern "C"
