// The board's SiS south bridge, emulated behind the port I/O bus: PCI configuration mechanism #1, the
// SMBus host controller with the CPU temperature sensor on its bus, and the 32-bit general-purpose port.
//
// PCI: a dword written to 0xCF8 (bit 31 enable, bus 16-23, device 11-15, function 8-10, register 0-7)
// selects what a dword read of 0xCFC returns. The bridge is bus 0, device 2, function 0: vendor 0x1039,
// device 0x0966; its register 0x74 holds the chipset I/O base (low byte ignored by the decode). Absent
// functions read all ones.
//
// SMBus host at I/O base + 0xD0 (byte registers): 0 status (write 1s to clear; bit 3 finished, bit 1
// collision, bit 2 device error), 2 bus state (bits 0-1), 3 control (0x10 starts; bits 0-2 protocol:
// 1 send/receive byte, 2 byte data; bit 5 kills a transaction), 4 slave address (address << 1, bit 0
// read), 5 command, 8 data. A started transaction finishes after a delay of virtual time; a device that
// does not acknowledge finishes it with the device-error bit; one that loses arbitration on the wire
// finishes with the collision bit, having done nothing. Clearing the status clears only its bits: a
// transaction that never finishes holds the host until the kill bit ends it, and a start meanwhile is
// lost (it never finishes either).
//
// Sensor at SMBus address 0x4C: a byte register file; 0xFF reads 0x01 and 0xFE reads 0x47 (identity);
// 0x01 is the CPU temperature, sign and magnitude (bit 7 set: below zero).
//
// GPIO: a 32-bit port at I/O base + 0x64.
//
// A protocol checker reports misuse: a transaction started while another is in progress, a host register
// written while a transaction runs (a hung one excepted), a protocol other than the two byte protocols, a
// byte access to the PCI or GPIO dword ports.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "sim/bus.h"

namespace board {

struct SouthBridgeOptions {
    uint16_t io_base = 0x0C00; // register 0x74 of the bridge
    uint16_t vendor = 0x1039;
    uint16_t device = 0x0966;
};

class SouthBridge : public sim::PortDevice {
public:
    static constexpr uint8_t kSensorAddress = 0x4C;
    static constexpr uint16_t kSmbusOffset = 0xD0;
    static constexpr uint16_t kGpioOffset = 0x64;

    SouthBridge(sim::PortBus& bus, SouthBridgeOptions options = {});
    ~SouthBridge() override;
    SouthBridge(const SouthBridge&) = delete;
    SouthBridge& operator=(const SouthBridge&) = delete;

    // PCI configuration space of the bridge (bus 0, device 2, function 0).
    void SetIds(uint16_t vendor, uint16_t device);
    void SetIoBase(uint16_t base); // moves the SMBus host and the GPIO port
    uint32_t ConfigDword(uint8_t reg) const;

    // The sensor.
    void SetCpuTemperature(int celsius); // stored as sign and magnitude, clamped to -127..127
    void SetSensorRegister(uint8_t reg, uint8_t value);
    uint8_t SensorRegister(uint8_t reg) const;
    void SetSensorPresent(bool present); // absent: the address is not acknowledged

    // The general-purpose port.
    void SetGpio(uint32_t value);
    uint32_t Gpio() const;

    // SMBus timing and faults.
    void SetTransactionDelay(sim::Ticks delay); // 25 us by default
    // The next `count` transactions never finish (< 0: all), after `after` that do.
    void HangTransactions(int count, int after = 0);
    void CollideOnStart(int count); // the next `count` starts read bus state 1 (collision); < 0: all
    // The next `count` transactions lose arbitration on the wire: they finish with status bits 3 and 1
    // (finished, collision) and do not reach the sensor; < 0: all.
    void CollideInStatus(int count);
    void CollideAfterData(int count); // the next `count` data reads leave bus state 1; < 0: all
    void HoldBusState(int value);     // bus state reads `value` whatever happens; < 0: normal
    uint64_t Transactions() const;    // transactions that reached the sensor's address

    // sim::PortDevice
    uint32_t PortRead(uint16_t port, unsigned width, const sim::PortContext& ctx) override;
    void PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx) override;

private:
    static constexpr unsigned kSmbusPorts = 9;
    static constexpr unsigned kGpioPorts = 4;

    // One SMBus transaction as the host latched it at the start.
    struct Transaction {
        bool active = false;
        bool hung = false;     // never finishes
        bool collided = false; // lost arbitration at the start: never reaches the bus
        bool lost = false;     // lost arbitration on the wire: finishes with the collision bit
        uint8_t protocol = 0;
        uint8_t address = 0;
        bool read = false;
        uint8_t command = 0;
        uint8_t data = 0;
        sim::Ticks finish = 0;
    };

    void MapIoLocked();
    uint16_t IoBaseLocked() const;
    uint32_t PciReadLocked(uint16_t port, unsigned width);
    void PciWriteLocked(uint16_t port, unsigned width, uint32_t value);
    bool BridgeSelectedLocked() const;
    uint32_t SmbusReadLocked(unsigned offset, const sim::PortContext& ctx);
    void SmbusWriteLocked(unsigned offset, uint8_t value, const sim::PortContext& ctx);
    void ControlWriteLocked(uint8_t value, const sim::PortContext& ctx);
    void AdvanceLocked(sim::Ticks now);
    void FinishLocked();
    void ResetTransactionLocked();
    bool RunningLocked() const { return transaction_.active && !transaction_.hung; }
    bool DwordAccessOk(uint16_t port, uint16_t first, unsigned width, const char* what,
                       const sim::PortContext& ctx);
    void Report(const std::string& text);

    sim::PortBus& bus_;
    mutable std::mutex mu_;

    // PCI configuration.
    uint32_t pci_address_ = 0;
    std::array<uint8_t, 256> config_{};
    uint16_t mapped_base_ = 0; // the I/O base decoded now; 0: nothing decoded

    // SMBus host.
    uint8_t status_ = 0;
    uint8_t control_ = 0;
    uint8_t slave_address_ = 0;
    uint8_t command_ = 0;
    uint8_t data_ = 0;
    uint8_t bus_state_ = 0;
    bool read_data_ready_ = false; // a finished read's byte sits in the data register
    Transaction transaction_;
    sim::Ticks delay_ = sim::Us(25);
    int hang_count_ = 0; // < 0: every transaction
    int hang_skip_ = 0;
    int collide_start_count_ = 0;
    int collide_status_count_ = 0;
    int collide_data_count_ = 0;
    int hold_bus_state_ = -1;
    uint64_t transactions_ = 0;

    // The sensor.
    std::array<uint8_t, 256> sensor_{};
    uint8_t pointer_ = 0;
    bool sensor_present_ = true;

    uint32_t gpio_ = 0;
};

} // namespace board
