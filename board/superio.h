// The board's IT87-family Super I/O, emulated behind the port I/O bus.
//
// Configuration: an index/data port pair at 0x2E/0x2F (or 0x4E/0x4F), reached after the entry key
// 0x87 0x01 0x55 0x55 (0x87 0x01 0x55 0xAA for a chip strapped at 0x4E). In configuration mode a read of
// the index port answers 0x87; register 0x07 selects the logical device; writing a value with bit 1 set to
// register 0x02 leaves configuration mode. Logical device 4 is the environment controller (base address
// in 0x60/0x61), logical device 5 the general-purpose I/O block (base in 0x60/0x61, and 0xF9, 0xFA, 0xC1).
//
// Environment controller: address port at base + 5 (a read shows the busy bit in bit 7), data port at
// base + 6. Its register file holds fan counts, temperatures, voltages, PWM and fan-control registers.
// Sensors are set by engineering value, for which the chip stores the raw value whose reading (by the
// chip's documented conversion and the board's dividers) is nearest, or by raw register.
//
// GPIO: five 8-bit ports, set 1 at the GPIO base, set n at base + n - 1.
//
// A protocol checker reports misuse to the bus: a data-port access without a preceding address write,
// two threads interleaving an address/data pair, an address write while the controller is busy, and any
// configuration access outside configuration mode.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/bus.h"

namespace board {

struct SuperIoOptions {
    uint16_t config_port = 0x2E; // 0x2E or 0x4E
    uint16_t ec_base = 0x0290;
    uint16_t gpio_base = 0x0800;
};

class SuperIo : public sim::PortDevice {
public:
    // Logical devices and inputs of this chip.
    static constexpr uint8_t kLdnEnvironment = 4;
    static constexpr uint8_t kLdnGpio = 5;
    static constexpr int kFans = 2;         // fan tachometer inputs 1 and 2
    static constexpr int kTemperatures = 3; // TMPIN1..3 at registers 0x29..0x2B
    static constexpr int kVoltages = 8;     // VIN0..7 at registers 0x20..0x27
    static constexpr int kGpioSets = 5;

    SuperIo(sim::PortBus& bus, SuperIoOptions options = {});
    ~SuperIo() override;
    SuperIo(const SuperIo&) = delete;
    SuperIo& operator=(const SuperIo&) = delete;

    // Sensors by engineering value. Fans are 1-based (1, 2), temperature inputs 1-based (1..3), voltage
    // inputs 0-based (0..7). A voltage is given at the rail, with the board divider of that input:
    // `numerator / denominator` millivolts per count (16/1 at the chip's pins, 2688/100 for a 5 V rail
    // behind its divider, 64/1 for 12 V).
    void SetFanRpm(int fan, uint32_t rpm);
    void SetTemperature(int input, int celsius);
    void SetVoltage(int input, uint32_t millivolts, uint32_t numerator = 16, uint32_t denominator = 1);

    // Raw environment-controller registers. Setting a sensor register replaces its engineering value
    // until that sensor is set by value again.
    void SetRegister(uint8_t reg, uint8_t value);
    uint8_t Register(uint8_t reg) const; // what the chip holds now (driver writes included)

    // Configuration registers of a logical device, and the GPIO ports.
    void SetConfigRegister(uint8_t ldn, uint8_t reg, uint8_t value);
    uint8_t ConfigRegister(uint8_t ldn, uint8_t reg) const;
    void SetGpioPort(int set, uint8_t value); // set 1..5
    uint8_t GpioPort(int set) const;
    bool InConfigMode() const;

    // Faults.
    // The next `reads` address-port reads show busy (< 0: for ever), once `after` register accesses
    // have completed.
    void HoldBusy(int reads, int after = 0);
    void SetIdentity(uint8_t r58, uint8_t r5b); // what registers 0x58 and 0x5B answer (0x90, 0x12 normally)

    // sim::PortDevice
    uint32_t PortRead(uint16_t port, unsigned width, const sim::PortContext& ctx) override;
    void PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx) override;

private:
    enum class Sensor : uint8_t { Register, Engineering };

    static constexpr unsigned kEcPorts = 8;

    void MapBlocksLocked();
    uint16_t ClaimLocked(uint16_t base, unsigned count, const char* what);
    uint16_t BaseLocked(uint8_t ldn) const;
    void KeyByteLocked(uint8_t value, const sim::PortContext& ctx);
    uint8_t ConfigReadLocked(uint8_t reg) const;
    void ConfigWriteLocked(uint8_t reg, uint8_t value);
    uint8_t EcAddressReadLocked();
    bool BusyLocked() const;
    void EcAddressWriteLocked(uint8_t value, const sim::PortContext& ctx);
    void EcDataCheckLocked(bool write, const sim::PortContext& ctx);
    uint8_t EcReadLocked(uint8_t reg) const;
    uint16_t FanCountLocked(int fan) const; // the 16-bit count the chip holds for a fan
    void Report(const std::string& text);

    sim::PortBus& bus_;
    SuperIoOptions options_;
    mutable std::mutex mu_;

    // Configuration.
    bool config_mode_ = false;
    int key_progress_ = 0;
    uint8_t config_index_ = 0;
    uint8_t ldn_ = 0;
    std::array<uint8_t, 256> global_config_{};
    std::array<std::array<uint8_t, 256>, 16> ldn_config_{};
    uint16_t mapped_ec_ = 0; // 0: not decoded
    uint16_t mapped_gpio_ = 0;

    // Environment controller.
    std::array<uint8_t, 256> ec_{};
    uint8_t ec_index_ = 0;
    int pending_thread_ = -1; // thread whose address write awaits its data access; -1: none
    int busy_reads_ = 0;      // < 0: busy until cleared
    int busy_after_ = 0;      // register accesses to let through before busy shows
    uint8_t identity_58_ = 0x90;
    uint8_t identity_5b_ = 0x12;
    std::array<uint32_t, kFans> fan_rpm_{};
    std::array<Sensor, kFans> fan_mode_{};

    // GPIO.
    std::array<uint8_t, kGpioSets> gpio_{};
};

} // namespace board
