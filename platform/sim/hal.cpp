// Port I/O of the hardware abstraction layer, on the current machine's bus. Each access is a preemption
// point (entry.h), so a seeded run may switch threads between any two accesses, as a real processor could.
#include "entry.h"
#include "machine.h"

namespace {

uint16_t PortOf(const void* port)
{
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port));
}

sim::PortBus& BusForAccess(uint16_t port, bool write = false, uint32_t value = 0)
{
    sim::Machine& m = sim::Machine::Current();
    if (const sim::Ticks stall = m.bus().TakeStall(port, write, value)) {
        m.scheduler().Sleep(stall);
    }
    return m.bus();
}

} // namespace

extern "C" {

UCHAR READ_PORT_UCHAR(PUCHAR Port)
{
    const sim::OperationEntry entry(sim::Op::ReadPortUchar);
    const uint16_t port = PortOf(Port);
    return static_cast<UCHAR>(BusForAccess(port).Read(port, 1));
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    const sim::OperationEntry entry(sim::Op::WritePortUchar);
    const uint16_t port = PortOf(Port);
    BusForAccess(port, true, Value).Write(port, 1, Value);
}

ULONG READ_PORT_ULONG(PULONG Port)
{
    const sim::OperationEntry entry(sim::Op::ReadPortUlong);
    const uint16_t port = PortOf(Port);
    return BusForAccess(port).Read(port, 4);
}

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    const sim::OperationEntry entry(sim::Op::WritePortUlong);
    const uint16_t port = PortOf(Port);
    BusForAccess(port, true, Value).Write(port, 4, Value);
}

} // extern "C"
