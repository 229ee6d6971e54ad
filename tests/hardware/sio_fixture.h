// Tests of the driver's Super I/O layer against the emulated board, with helpers to state the exact
// port accesses an operation makes.
#pragma once

#include <cstdio>
#include <string>

#include "driver_test.h"
#include "hardware/siocommand.h"

class SioTest : public DriverTest {
protected:
    explicit SioTest(board::BoardOptions board = {}, sim::MachineOptions machine = {})
        : DriverTest(board, machine)
    {
    }

    board::SuperIo& chip() { return superio(); }

    void Initialize() { ASSERT_EQ(SioInitialize(), STATUS_SUCCESS); }

    // The accesses the layer makes, for building expected traces.
    static std::string Key(unsigned index_port, unsigned last)
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "W%X:87 W%X:01 W%X:55 W%X:%02X ", index_port, index_port, index_port,
                      index_port, last);
        return buf;
    }
    static std::string ConfigRead(unsigned ldn, unsigned reg, unsigned index_port = 0x2E)
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "W%X:07 W%X:%02X W%X:%02X R%X ", index_port, index_port + 1, ldn,
                      index_port, reg, index_port + 1);
        return buf;
    }
    static std::string ConfigWrite(unsigned ldn, unsigned reg, unsigned value, unsigned index_port = 0x2E)
    {
        char buf[80];
        std::snprintf(buf, sizeof buf, "W%X:07 W%X:%02X W%X:%02X W%X:%02X ", index_port, index_port + 1, ldn,
                      index_port, reg, index_port + 1, value);
        return buf;
    }
    static std::string Leave(unsigned index_port = 0x2E)
    {
        char buf[32];
        std::snprintf(buf, sizeof buf, "W%X:02 W%X:02 ", index_port, index_port + 1);
        return buf;
    }
    static std::string EcRead(unsigned reg, unsigned base = 0x290)
    {
        char buf[48];
        std::snprintf(buf, sizeof buf, "R%X W%X:%02X R%X ", base + 5, base + 5, reg, base + 6);
        return buf;
    }
    static std::string EcWrite(unsigned reg, unsigned value, unsigned base = 0x290)
    {
        char buf[48];
        std::snprintf(buf, sizeof buf, "R%X W%X:%02X W%X:%02X ", base + 5, base + 5, reg, base + 6, value);
        return buf;
    }
};
