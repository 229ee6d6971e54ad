#include "bus.h"

#include <cstdio>
#include <utility>

#include "verifier.h"

namespace sim {

std::string FormatAccess(const PortAccess& a)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, "%c%u 0x%04x %s 0x%0*x @%s t%d", a.write ? 'W' : 'R', a.width, a.port,
                  a.write ? "<-" : "->", a.width * 2, a.value, FormatTicks(a.time).c_str(), a.thread);
    return buf;
}

PortBus::PortBus(Hooks hooks) : hooks_(std::move(hooks)) {}

void PortBus::Map(uint16_t first, unsigned count, PortDevice* device)
{
    std::lock_guard lk(mu_);
    for (unsigned i = 0; i < count; i++) {
        const unsigned port = first + i;
        if (port > 0xFFFF || (devices_[port] != nullptr && devices_[port] != device)) {
            char text[80];
            std::snprintf(text, sizeof text, "port 0x%04x claimed by two devices", port);
            Fatal(text);
        }
        devices_[port] = device;
    }
}

void PortBus::Unmap(uint16_t first, unsigned count, PortDevice* device)
{
    std::lock_guard lk(mu_);
    for (unsigned i = 0; i < count && first + i <= 0xFFFF; i++) {
        if (devices_[first + i] == device) {
            devices_[first + i] = nullptr;
        }
    }
}

void PortBus::UnmapAll(PortDevice* device)
{
    std::lock_guard lk(mu_);
    for (auto& d : devices_) {
        if (d == device) {
            d = nullptr;
        }
    }
}

PortDevice* PortBus::DeviceAt(uint16_t port) const
{
    return devices_[port].load(std::memory_order_acquire);
}

// The device is called without the bus lock: it may remap itself (a base address register written) or
// report misuse from inside the access.
uint32_t PortBus::Read(uint16_t port, unsigned width)
{
    const PortContext ctx = Context();
    PortDevice* device = DeviceAt(port);
    const uint32_t all_ones = width == 1 ? 0xFFu : 0xFFFFFFFFu;
    const uint32_t value = device != nullptr ? device->PortRead(port, width, ctx) & all_ones : all_ones;
    Record({port, false, static_cast<uint8_t>(width), value, ctx.time, ctx.thread});
    return value;
}

void PortBus::Write(uint16_t port, unsigned width, uint32_t value)
{
    const PortContext ctx = Context();
    if (PortDevice* device = DeviceAt(port)) {
        device->PortWrite(port, width, value, ctx);
    }
    Record({port, true, static_cast<uint8_t>(width), value, ctx.time, ctx.thread});
}

void PortBus::Record(const PortAccess& a)
{
    (a.write ? writes_ : reads_).fetch_add(1, std::memory_order_relaxed);
    counts_[a.port].fetch_add(1, std::memory_order_relaxed);
    if (tracing_.load(std::memory_order_acquire)) {
        std::lock_guard lk(mu_);
        if (tracing_) {
            trace_.push_back(a);
        }
    }
}

uint64_t PortBus::Reads() const
{
    return reads_.load(std::memory_order_relaxed);
}

uint64_t PortBus::Writes() const
{
    return writes_.load(std::memory_order_relaxed);
}

uint64_t PortBus::AccessesTo(uint16_t port) const
{
    return counts_[port].load(std::memory_order_relaxed);
}

void PortBus::StartTrace()
{
    std::lock_guard lk(mu_);
    tracing_ = true;
}

void PortBus::StopTrace()
{
    std::lock_guard lk(mu_);
    tracing_ = false;
}

std::vector<PortAccess> PortBus::TakeTrace()
{
    std::lock_guard lk(mu_);
    return std::exchange(trace_, {});
}

void PortBus::Stall(uint16_t port, Ticks duration, int count)
{
    std::lock_guard lk(mu_);
    stalls_[port] = {duration, count, false, 0};
    stall_count_ = stalls_.size();
}

void PortBus::StallWrite(uint16_t port, uint32_t value, Ticks duration)
{
    std::lock_guard lk(mu_);
    stalls_[port] = {duration, 1, true, value};
    stall_count_ = stalls_.size();
}

Ticks PortBus::TakeStall(uint16_t port, bool write, uint32_t value)
{
    if (stall_count_.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    std::lock_guard lk(mu_);
    auto it = stalls_.find(port);
    if (it == stalls_.end() || (it->second.write_only && (!write || it->second.value != value))) {
        return 0;
    }
    const Ticks d = it->second.duration;
    if (--it->second.count == 0) {
        stalls_.erase(it);
        stall_count_ = stalls_.size();
    }
    return d;
}

void PortBus::SetAccessTime(Ticks duration)
{
    access_time_ = duration;
}

Ticks PortBus::AccessTime() const
{
    return access_time_.load(std::memory_order_relaxed);
}

void PortBus::Report(std::string source, std::string text)
{
    hooks_.report(std::move(source), std::move(text));
}

} // namespace sim
