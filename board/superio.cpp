#include "superio.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "sim/format.h"

namespace board {
namespace {

// Global configuration registers.
constexpr uint8_t kRegConfigControl = 0x02; // bit 1 written: leave configuration mode
constexpr uint8_t kRegLdn = 0x07;
constexpr uint8_t kRegChipId1 = 0x20;
constexpr uint8_t kRegChipId2 = 0x21;
constexpr uint8_t kFirstLdnReg = 0x30;
constexpr uint8_t kRegBaseHigh = 0x60;
constexpr uint8_t kRegBaseLow = 0x61;
constexpr uint8_t kChipId1 = 0x87;
constexpr uint8_t kChipId2 = 0x12;
constexpr uint8_t kIndexReadback = 0x87;

// Environment-controller ports (offsets from its base) and registers.
constexpr uint16_t kEcAddressPort = 5;
constexpr uint16_t kEcDataPort = 6;
constexpr uint8_t kEcFanDivisor = 0x0B;
constexpr uint8_t kEcFan16Bit = 0x0C;
constexpr uint8_t kEcFanLow[] = {0x0D, 0x0E};
constexpr uint8_t kEcFanHigh[] = {0x18, 0x19};
constexpr uint8_t kEcVin0 = 0x20;
constexpr uint8_t kEcTmpin1 = 0x29;
constexpr uint8_t kEcIdentity58 = 0x58;
constexpr uint8_t kEcIdentity5b = 0x5B;

// The tachometer counts a 22.5 kHz clock between (divided) fan pulses: rpm = 1,350,000 / (count * divisor).
constexpr uint64_t kFanClock = 1350000;

using sim::Format;

void CheckRange(int value, int first, int last, const char* what)
{
    if (value < first || value > last) {
        throw std::out_of_range(Format("%s %d is not in %d..%d", what, value, first, last));
    }
}

} // namespace

SuperIo::SuperIo(sim::PortBus& bus, SuperIoOptions options) : bus_(bus), options_(options)
{
    ec_[kEcFanDivisor] = 0x09; // divisor 2 for fans 1 and 2
    ec_[kEcFan16Bit] = 0x03;   // 16-bit counters for fans 1 and 2
    ldn_config_[kLdnEnvironment][kRegBaseHigh] = static_cast<uint8_t>(options.ec_base >> 8);
    ldn_config_[kLdnEnvironment][kRegBaseLow] = static_cast<uint8_t>(options.ec_base);
    ldn_config_[kLdnGpio][kRegBaseHigh] = static_cast<uint8_t>(options.gpio_base >> 8);
    ldn_config_[kLdnGpio][kRegBaseLow] = static_cast<uint8_t>(options.gpio_base);
    std::lock_guard lk(mu_);
    MapBlocksLocked();
}

SuperIo::~SuperIo()
{
    bus_.UnmapAll(this);
}

// ---- Decoding ----

uint16_t SuperIo::BaseLocked(uint8_t ldn) const
{
    return static_cast<uint16_t>(ldn_config_[ldn][kRegBaseHigh] << 8 | ldn_config_[ldn][kRegBaseLow]);
}

// Claims the configuration pair and both blocks at the bases their logical devices hold now. The old
// blocks are released first and the configuration pair claimed again, so a block that once overlapped
// another of ours cannot leave a hole behind when it moves.
void SuperIo::MapBlocksLocked()
{
    if (mapped_ec_ != 0) {
        bus_.Unmap(mapped_ec_, kEcPorts, this);
    }
    if (mapped_gpio_ != 0) {
        bus_.Unmap(mapped_gpio_, kGpioSets, this);
    }
    bus_.Map(options_.config_port, 2, this);
    mapped_ec_ = ClaimLocked(BaseLocked(kLdnEnvironment), kEcPorts, "environment controller");
    mapped_gpio_ = ClaimLocked(BaseLocked(kLdnGpio), kGpioSets, "GPIO block");
}

// A base of 0 leaves the block undecoded, as firmware leaves an unused logical device. A base that runs
// off the port space or onto another device's ports is a board conflict: the block stays undecoded and
// the conflict is reported (the base registers are rewritten byte by byte, so a driver moving a block
// can pass through such a base; it is worth knowing about).
uint16_t SuperIo::ClaimLocked(uint16_t base, unsigned count, const char* what)
{
    if (base == 0) {
        return 0;
    }
    for (unsigned i = 0; i < count; i++) {
        const unsigned port = base + i;
        const sim::PortDevice* owner = port <= 0xFFFF ? bus_.DeviceAt(static_cast<uint16_t>(port)) : nullptr;
        if (port > 0xFFFF || (owner != nullptr && owner != this)) {
            Report(Format("%s base 0x%04x conflicts at port 0x%04x; the block is not decoded", what, base,
                          port));
            return 0;
        }
    }
    bus_.Map(base, count, this);
    return base;
}

// The chip decodes byte cycles. A wider access acts on the addressed byte; the other byte lanes float
// high.
uint32_t SuperIo::PortRead(uint16_t port, unsigned width, const sim::PortContext& ctx)
{
    const uint32_t upper = width > 1 ? 0xFFFFFF00u : 0;
    std::lock_guard lk(mu_);
    if (port == options_.config_port || port == options_.config_port + 1) {
        const bool index = port == options_.config_port;
        if (!config_mode_) {
            Report(
                Format("configuration access outside configuration mode: %s read at port 0x%04x, thread %d",
                       index ? "index" : "data", port, ctx.thread));
            return 0xFFFFFFFFu;
        }
        return upper | (index ? kIndexReadback : ConfigReadLocked(config_index_));
    }
    if (mapped_ec_ != 0 && port >= mapped_ec_ && port < mapped_ec_ + kEcPorts) {
        switch (port - mapped_ec_) {
            case kEcAddressPort:
                return upper | EcAddressReadLocked();
            case kEcDataPort:
                EcDataCheckLocked(false, ctx);
                return upper | EcReadLocked(ec_index_);
            default:
                return 0xFFFFFFFFu;
        }
    }
    if (mapped_gpio_ != 0 && port >= mapped_gpio_ && port < mapped_gpio_ + kGpioSets) {
        return upper | gpio_[port - mapped_gpio_];
    }
    return 0xFFFFFFFFu;
}

void SuperIo::PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx)
{
    (void)width;
    const auto byte = static_cast<uint8_t>(value);
    std::lock_guard lk(mu_);
    if (port == options_.config_port) {
        if (config_mode_) {
            config_index_ = byte;
        } else {
            KeyByteLocked(byte, ctx);
        }
        return;
    }
    if (port == options_.config_port + 1) {
        if (config_mode_) {
            ConfigWriteLocked(config_index_, byte);
        } else {
            Report(
                Format("configuration access outside configuration mode: data write 0x%02x at port 0x%04x, "
                       "thread %d",
                       byte, port, ctx.thread));
        }
        return;
    }
    if (mapped_ec_ != 0 && port >= mapped_ec_ && port < mapped_ec_ + kEcPorts) {
        switch (port - mapped_ec_) {
            case kEcAddressPort:
                EcAddressWriteLocked(byte, ctx);
                break;
            case kEcDataPort:
                EcDataCheckLocked(true, ctx);
                ec_[ec_index_] = byte;
                break;
            default:
                break;
        }
        return;
    }
    if (mapped_gpio_ != 0 && port >= mapped_gpio_ && port < mapped_gpio_ + kGpioSets) {
        gpio_[port - mapped_gpio_] = byte;
    }
}

// ---- Configuration ----

// Outside configuration mode the index port only listens for the entry key; its last byte depends on
// the strapped port, so a chip at 0x4E ignores the key of one at 0x2E. Any byte that cannot continue
// the key (and cannot start it again) is a driver talking to a chip it never unlocked.
void SuperIo::KeyByteLocked(uint8_t value, const sim::PortContext& ctx)
{
    const uint8_t key[] = {0x87, 0x01, 0x55,
                           static_cast<uint8_t>(options_.config_port == 0x4E ? 0xAA : 0x55)};
    if (value == key[key_progress_]) {
        if (++key_progress_ == static_cast<int>(sizeof key)) {
            config_mode_ = true;
            key_progress_ = 0;
        }
        return;
    }
    if (value == key[0]) {
        key_progress_ = 1;
        return;
    }
    key_progress_ = 0;
    Report(Format(
        "configuration access outside configuration mode: index write 0x%02x at port 0x%04x, thread %d",
        value, options_.config_port, ctx.thread));
}

uint8_t SuperIo::ConfigReadLocked(uint8_t reg) const
{
    switch (reg) {
        case kRegLdn:
            return ldn_;
        case kRegChipId1:
            return kChipId1;
        case kRegChipId2:
            return kChipId2;
        default:
            return reg < kFirstLdnReg ? global_config_[reg] : ldn_config_[ldn_ & 0x0F][reg];
    }
}

void SuperIo::ConfigWriteLocked(uint8_t reg, uint8_t value)
{
    switch (reg) {
        case kRegConfigControl:
            if (value & 0x02) {
                config_mode_ = false;
                key_progress_ = 0;
            }
            return;
        case kRegLdn:
            ldn_ = value;
            return;
        case kRegChipId1:
        case kRegChipId2:
            return;
        default:
            break;
    }
    if (reg < kFirstLdnReg) {
        global_config_[reg] = value;
        return;
    }
    const uint8_t ldn = ldn_ & 0x0F;
    ldn_config_[ldn][reg] = value;
    if ((ldn == kLdnEnvironment || ldn == kLdnGpio) && (reg == kRegBaseHigh || reg == kRegBaseLow)) {
        MapBlocksLocked();
    }
}

// ---- Environment controller ----

uint8_t SuperIo::EcAddressReadLocked()
{
    const bool busy = BusyLocked();
    if (busy && busy_reads_ > 0) {
        busy_reads_--;
    }
    return static_cast<uint8_t>((ec_index_ & 0x7F) | (busy ? 0x80 : 0));
}

// The address/data pair is not atomic on the chip: a second address write before the first pair's data
// access silently redirects it. The checker holds the thread that owns the pending pair.
void SuperIo::EcAddressWriteLocked(uint8_t value, const sim::PortContext& ctx)
{
    const uint16_t port = mapped_ec_ + kEcAddressPort;
    if (BusyLocked()) {
        Report(Format("address write while the environment controller is busy: index 0x%02x at port 0x%04x, "
                      "thread %d",
                      value, port, ctx.thread));
    }
    if (pending_thread_ >= 0 && pending_thread_ != ctx.thread) {
        Report(Format("address/data pair of thread %d interleaved by thread %d: address write 0x%02x at port "
                      "0x%04x (pending index 0x%02x)",
                      pending_thread_, ctx.thread, value, port, ec_index_));
    }
    ec_index_ = value;
    pending_thread_ = ctx.thread;
}

// Busy shows once the accesses a fault was told to let through have completed.
bool SuperIo::BusyLocked() const
{
    return busy_after_ == 0 && busy_reads_ != 0;
}

void SuperIo::EcDataCheckLocked(bool write, const sim::PortContext& ctx)
{
    if (busy_after_ > 0) {
        busy_after_--;
    }
    const uint16_t port = mapped_ec_ + kEcDataPort;
    const char* kind = write ? "write" : "read";
    if (pending_thread_ < 0) {
        Report(Format("data-port access without a preceding address write: %s of register 0x%02x at port "
                      "0x%04x, thread %d",
                      kind, ec_index_, port, ctx.thread));
    } else if (pending_thread_ != ctx.thread) {
        Report(Format("address/data pair of thread %d interleaved by thread %d: data %s of register 0x%02x "
                      "at port 0x%04x",
                      pending_thread_, ctx.thread, kind, ec_index_, port));
    }
    pending_thread_ = -1;
}

uint8_t SuperIo::EcReadLocked(uint8_t reg) const
{
    if (reg == kEcIdentity58) {
        return identity_58_;
    }
    if (reg == kEcIdentity5b) {
        return identity_5b_;
    }
    for (int f = 0; f < kFans; f++) {
        if (fan_mode_[f] == Sensor::Engineering && (reg == kEcFanLow[f] || reg == kEcFanHigh[f])) {
            const uint16_t count = FanCountLocked(f + 1);
            return static_cast<uint8_t>(reg == kEcFanLow[f] ? count : count >> 8);
        }
    }
    return ec_[reg];
}

// The count the tachometer would latch for the fan's speed under the divisor and counter width the
// driver has programmed now. Readings truncate, so the count nearest the ideal one is not always the
// count whose reading is nearest; its neighbours are checked too.
uint16_t SuperIo::FanCountLocked(int fan) const
{
    const int i = fan - 1;
    const uint64_t divisor = uint64_t{1} << ((ec_[kEcFanDivisor] >> (3 * i)) & 0x07);
    const uint64_t max = (ec_[kEcFan16Bit] >> i) & 1 ? 0xFFFF : 0xFF;
    const uint64_t rpm = fan_rpm_[i];
    if (rpm == 0) {
        return static_cast<uint16_t>(max);
    }
    const uint64_t ideal = (kFanClock + rpm * divisor / 2) / (rpm * divisor);
    const auto distance = [&](uint64_t c) {
        const uint64_t reading = kFanClock / (c * divisor);
        return reading > rpm ? reading - rpm : rpm - reading;
    };
    uint64_t best = std::clamp<uint64_t>(ideal, 1, max);
    for (uint64_t c : {best - 1, best + 1}) {
        c = std::clamp<uint64_t>(c, 1, max);
        if (distance(c) < distance(best)) {
            best = c;
        }
    }
    return static_cast<uint16_t>(best);
}

void SuperIo::Report(const std::string& text)
{
    bus_.Report("superio", text);
}

// ---- Sensors and faults ----

void SuperIo::SetFanRpm(int fan, uint32_t rpm)
{
    CheckRange(fan, 1, kFans, "fan");
    std::lock_guard lk(mu_);
    fan_rpm_[fan - 1] = rpm;
    fan_mode_[fan - 1] = Sensor::Engineering;
}

// TMPINx hold whole degrees as an 8-bit two's-complement value.
void SuperIo::SetTemperature(int input, int celsius)
{
    CheckRange(input, 1, kTemperatures, "temperature input");
    std::lock_guard lk(mu_);
    ec_[kEcTmpin1 + input - 1] = static_cast<uint8_t>(static_cast<int8_t>(std::clamp(celsius, -128, 127)));
}

// The reading of VINx is raw * numerator / denominator millivolts; the chip holds the raw byte whose
// reading is nearest (the lower one on a tie).
void SuperIo::SetVoltage(int input, uint32_t millivolts, uint32_t numerator, uint32_t denominator)
{
    CheckRange(input, 0, kVoltages - 1, "voltage input");
    if (denominator == 0) {
        throw std::invalid_argument("voltage divider with a zero denominator");
    }
    uint8_t best = 0;
    uint64_t best_distance = UINT64_MAX;
    for (unsigned raw = 0; raw <= 0xFF; raw++) {
        const uint64_t reading = uint64_t{raw} * numerator / denominator;
        const uint64_t distance = reading > millivolts ? reading - millivolts : millivolts - reading;
        if (distance < best_distance) {
            best = static_cast<uint8_t>(raw);
            best_distance = distance;
        }
    }
    std::lock_guard lk(mu_);
    ec_[kEcVin0 + input] = best;
}

void SuperIo::SetRegister(uint8_t reg, uint8_t value)
{
    std::lock_guard lk(mu_);
    ec_[reg] = value;
    for (int f = 0; f < kFans; f++) {
        if (reg == kEcFanLow[f] || reg == kEcFanHigh[f]) {
            fan_mode_[f] = Sensor::Register;
        }
    }
}

uint8_t SuperIo::Register(uint8_t reg) const
{
    std::lock_guard lk(mu_);
    return EcReadLocked(reg);
}

void SuperIo::SetConfigRegister(uint8_t ldn, uint8_t reg, uint8_t value)
{
    CheckRange(ldn, 0, 15, "logical device");
    std::lock_guard lk(mu_);
    if (reg < kFirstLdnReg) {
        ConfigWriteLocked(reg, value); // global: as a write through the data port
        return;
    }
    ldn_config_[ldn][reg] = value;
    if ((ldn == kLdnEnvironment || ldn == kLdnGpio) && (reg == kRegBaseHigh || reg == kRegBaseLow)) {
        MapBlocksLocked();
    }
}

uint8_t SuperIo::ConfigRegister(uint8_t ldn, uint8_t reg) const
{
    CheckRange(ldn, 0, 15, "logical device");
    std::lock_guard lk(mu_);
    if (reg < kFirstLdnReg) {
        return ConfigReadLocked(reg);
    }
    return ldn_config_[ldn][reg];
}

void SuperIo::SetGpioPort(int set, uint8_t value)
{
    CheckRange(set, 1, kGpioSets, "GPIO set");
    std::lock_guard lk(mu_);
    gpio_[set - 1] = value;
}

uint8_t SuperIo::GpioPort(int set) const
{
    CheckRange(set, 1, kGpioSets, "GPIO set");
    std::lock_guard lk(mu_);
    return gpio_[set - 1];
}

bool SuperIo::InConfigMode() const
{
    std::lock_guard lk(mu_);
    return config_mode_;
}

void SuperIo::HoldBusy(int reads, int after)
{
    std::lock_guard lk(mu_);
    busy_reads_ = reads < 0 ? -1 : reads;
    busy_after_ = after;
}

void SuperIo::SetIdentity(uint8_t r58, uint8_t r5b)
{
    std::lock_guard lk(mu_);
    identity_58_ = r58;
    identity_5b_ = r5b;
}

} // namespace board
