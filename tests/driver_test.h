// The base of tests of driver code against the emulated board: a simulated machine, the board on its bus,
// and the port accesses an operation makes in compact form.
#pragma once

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "board/board.h"
#include "sim_test.h"

class DriverTest : public SimTest {
protected:
    explicit DriverTest(board::BoardOptions board = {}, sim::MachineOptions machine = {})
        : SimTest(machine), board_(machine_.bus(), board)
    {
    }

    board::SuperIo& superio() { return *board_.superio(); }
    board::SouthBridge& bridge() { return *board_.southbridge(); }

    // Runs `op` and returns its port accesses: "W2E:87" for a write, "R2F" for a read.
    std::string Accesses(const std::function<void()>& op)
    {
        machine_.bus().TakeTrace();
        machine_.bus().StartTrace();
        op();
        machine_.bus().StopTrace();
        std::string out;
        for (const sim::PortAccess& a : machine_.bus().TakeTrace()) {
            char buf[24];
            if (a.write) {
                std::snprintf(buf, sizeof buf, "W%X:%02X ", a.port, a.value);
            } else {
                std::snprintf(buf, sizeof buf, "R%X ", a.port);
            }
            out += buf;
        }
        return out;
    }

    // The processor time `accesses` port accesses take on the bus.
    sim::Ticks BusTime(uint64_t accesses)
    {
        return static_cast<sim::Ticks>(accesses) * machine_.bus().AccessTime();
    }
    // ... and those of a trace from Accesses.
    sim::Ticks BusTime(const std::string& trace)
    {
        return BusTime(static_cast<uint64_t>(std::count(trace.begin(), trace.end(), ' ')));
    }

    board::Board board_;
};
