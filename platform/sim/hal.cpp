// Port I/O of the hardware abstraction layer, on the current machine's bus. Each access is a preemption
// point (entry.h), so a seeded run may switch threads between any two accesses, as a real processor could.
// An access takes the bus's access time after it starts: the accessing thread keeps the processor for
// it, and threads whose timeouts fall due meanwhile run at the next switch point.
#include "entry.h"
#include "machine.h"

namespace {

uint16_t PortOf(const void* port)
{
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(port));
}

// One access: a stall the bus holds for the port first, then the access, then the cycle's time.
template <typename Access>
uint32_t OnBus(uint16_t port, bool write, uint32_t value, Access access)
{
    sim::Machine& m = sim::Machine::Current();
    if (const sim::Ticks stall = m.bus().TakeStall(port, write, value)) {
        m.scheduler().Sleep(stall);
    }
    const uint32_t result = access(m.bus());
    m.scheduler().Spend(m.bus().AccessTime());
    return result;
}

} // namespace

extern "C" {

UCHAR READ_PORT_UCHAR(PUCHAR Port)
{
    const sim::OperationEntry entry(sim::Op::ReadPortUchar);
    const uint16_t port = PortOf(Port);
    return static_cast<UCHAR>(OnBus(port, false, 0, [&](sim::PortBus& bus) { return bus.Read(port, 1); }));
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    const sim::OperationEntry entry(sim::Op::WritePortUchar);
    const uint16_t port = PortOf(Port);
    OnBus(port, true, Value, [&](sim::PortBus& bus) {
        bus.Write(port, 1, Value);
        return 0u;
    });
}

ULONG READ_PORT_ULONG(PULONG Port)
{
    const sim::OperationEntry entry(sim::Op::ReadPortUlong);
    const uint16_t port = PortOf(Port);
    return OnBus(port, false, 0, [&](sim::PortBus& bus) { return bus.Read(port, 4); });
}

VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    const sim::OperationEntry entry(sim::Op::WritePortUlong);
    const uint16_t port = PortOf(Port);
    OnBus(port, true, Value, [&](sim::PortBus& bus) {
        bus.Write(port, 4, Value);
        return 0u;
    });
}

} // extern "C"
