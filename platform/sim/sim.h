// What tests and tools use of the simulated platform: the machine, attaching threads, starting threads,
// and the virtual clock.
#pragma once

#include <functional>
#include <string>

#include "machine.h"
#include "text.h"

namespace sim {

// The calling host thread takes part in the simulation for the guard's lifetime.
class AttachedThread {
public:
    explicit AttachedThread(std::string name = "main")
    {
        Machine::Current().scheduler().Attach(std::move(name));
    }
    ~AttachedThread() { Machine::Current().scheduler().Detach(); }
    AttachedThread(const AttachedThread&) = delete;
    AttachedThread& operator=(const AttachedThread&) = delete;
};

// The calling thread steps outside the simulation (to block on something the simulation cannot see)
// for the guard's lifetime.
class OutsideSimulation {
public:
    OutsideSimulation() { Machine::Current().scheduler().LeaveTemporarily(); }
    ~OutsideSimulation() { Machine::Current().scheduler().RejoinAndWaitForProcessor(); }
    OutsideSimulation(const OutsideSimulation&) = delete;
    OutsideSimulation& operator=(const OutsideSimulation&) = delete;
};

inline Ticks Now()
{
    return Machine::Current().scheduler().Now();
}
inline void Sleep(Ticks duration)
{
    Machine::Current().scheduler().Sleep(duration);
}

// The calling thread lets every other ready thread run before it goes on.
inline void Yield()
{
    Machine::Current().scheduler().Yield();
}

inline PKTHREAD StartThread(std::string name, std::function<void()> body)
{
    return Machine::Current().scheduler().Start(std::move(name), std::move(body));
}

// Waits, on the clock, until the thread has ended.
inline NTSTATUS JoinThread(PKTHREAD thread)
{
    return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

} // namespace sim
