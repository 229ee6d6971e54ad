// The port I/O bus: byte and 32-bit port accesses dispatched to emulated devices by port range.
// Unclaimed ports read as all ones and ignore writes, as an ISA/LPC bus with nothing decoding them does.
// Every access is counted, and can be recorded in a trace (port, direction, width, value, virtual time,
// thread), so a test or benchmark can state exactly which accesses an operation made.
//
// Devices know only this header: the bus hands them the time and the accessing thread, and takes their
// protocol reports.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "time.h"

namespace sim {

struct PortContext {
    Ticks time;
    int thread; // simulated thread id; 0 for a host thread outside the simulation
};

class PortDevice {
public:
    virtual ~PortDevice() = default;
    // width is 1 or 4 bytes; `port` is the port the access was made to, inside the device's range.
    virtual uint32_t PortRead(uint16_t port, unsigned width, const PortContext& ctx) = 0;
    virtual void PortWrite(uint16_t port, unsigned width, uint32_t value, const PortContext& ctx) = 0;
};

struct PortAccess {
    uint16_t port;
    bool write;
    uint8_t width;
    uint32_t value;
    Ticks time;
    int thread;

    bool operator==(const PortAccess&) const = default;
};

std::string FormatAccess(const PortAccess& a); // "W1 0x2e <- 0x87 @0.0000000 s t1"

class PortBus {
public:
    struct Hooks {
        std::function<Ticks()> now;
        std::function<int()> thread;
        std::function<void(std::string source, std::string text)> report;
    };

    explicit PortBus(Hooks hooks);
    PortBus(const PortBus&) = delete;
    PortBus& operator=(const PortBus&) = delete;

    // Claims [first, first + count) for `device`; a port already claimed by another device is a
    // wiring error and stops the simulation.
    void Map(uint16_t first, unsigned count, PortDevice* device);
    void Unmap(uint16_t first, unsigned count, PortDevice* device);
    void UnmapAll(PortDevice* device);
    PortDevice* DeviceAt(uint16_t port) const;

    uint32_t Read(uint16_t port, unsigned width);
    void Write(uint16_t port, unsigned width, uint32_t value);

    // Accounting.
    uint64_t Reads() const;
    uint64_t Writes() const;
    uint64_t Accesses() const { return Reads() + Writes(); }
    uint64_t AccessesTo(uint16_t port) const;

    // Tracing: off until started; Take returns and clears what was recorded.
    void StartTrace();
    void StopTrace();
    std::vector<PortAccess> TakeTrace();

    // Fault knob: the next `count` accesses to `port` stall for `duration` of simulated time before they
    // complete, as an access to a hung device would.
    void Stall(uint16_t port, Ticks duration, int count = 1);
    // The same for the next write of `value` to `port` only, e.g. the address write that selects one
    // register, so that a test can hold a thread at a precise point of its work.
    void StallWrite(uint16_t port, uint32_t value, Ticks duration);
    Ticks TakeStall(uint16_t port, bool write, uint32_t value);

    // Processor time one access takes: an ISA/LPC cycle costs about a microsecond, during which the
    // accessing processor waits on the bus. 0: accesses take no time.
    void SetAccessTime(Ticks duration);
    Ticks AccessTime() const;

    // For devices.
    Ticks Now() const { return hooks_.now(); }
    void Report(std::string source, std::string text);

private:
    PortContext Context() const { return {hooks_.now(), hooks_.thread()}; }
    void Record(const PortAccess& a);

    Hooks hooks_;
    // The lock guards the map's changes, the trace and the stall knobs. An access, the driver's hot
    // path, takes it only when a trace is on or a stall is set: the device table and the counts are
    // atomics, read and counted without it.
    mutable std::mutex mu_;
    std::array<std::atomic<PortDevice*>, 65536> devices_{};
    std::array<std::atomic<uint32_t>, 65536> counts_{};
    std::atomic<uint64_t> reads_ = 0;
    std::atomic<uint64_t> writes_ = 0;
    std::atomic<bool> tracing_ = false;
    std::vector<PortAccess> trace_;
    struct StallKnob {
        Ticks duration;
        int count;
        bool write_only;
        uint32_t value;
    };
    std::map<uint16_t, StallKnob> stalls_;
    std::atomic<size_t> stall_count_ = 0; // stalls_.size(), for the accesses that find none set
    std::atomic<Ticks> access_time_ = Us(1);
};

} // namespace sim
