#include "southbridge.h"

#include <algorithm>
#include <cstdio>

#include "sim/format.h"

namespace board {
namespace {

// PCI configuration mechanism #1: an address dword port and a data dword port.
constexpr uint16_t kPciAddressPort = 0xCF8;
constexpr uint16_t kPciDataPort = 0xCFC;
constexpr unsigned kPciPorts = 8;
constexpr uint32_t kPciEnable = 0x80000000u;
constexpr unsigned kBridgeDevice = 2;

// Bridge configuration registers.
constexpr uint8_t kCfgIoBase = 0x74; // word; bit 0 reads 1 as in any I/O-space base
constexpr uint16_t kIoDecodeMask = 0xFF00;

// SMBus host registers (offsets from the host's ports) and their bits.
constexpr unsigned kSmbStatus = 0;
constexpr unsigned kSmbBusState = 2;
constexpr unsigned kSmbControl = 3;
constexpr unsigned kSmbAddress = 4;
constexpr unsigned kSmbCommand = 5;
constexpr unsigned kSmbData = 8;
constexpr uint8_t kStatusCollision = 0x02;
constexpr uint8_t kStatusDeviceError = 0x04;
constexpr uint8_t kStatusFinished = 0x08;
constexpr uint8_t kControlProtocol = 0x07;
constexpr uint8_t kControlStart = 0x10;
constexpr uint8_t kControlKill = 0x20;
constexpr uint8_t kProtocolByte = 1;     // send byte / receive byte
constexpr uint8_t kProtocolByteData = 2; // write / read byte data
constexpr uint8_t kBusStateCollision = 1;

// The sensor's register file.
constexpr uint8_t kSensorTemperature = 0x01;
constexpr uint8_t kSensorDieRevision = 0xFF;
constexpr uint8_t kSensorManufacturer = 0xFE;

using sim::Format;

const char* SmbusRegisterName(unsigned offset)
{
    switch (offset) {
        case kSmbAddress:
            return "slave address";
        case kSmbCommand:
            return "command";
        default:
            return "data";
    }
}

// The sensor holds whole degrees as sign and magnitude, not two's complement.
uint8_t SignMagnitude(int celsius)
{
    const int c = std::clamp(celsius, -127, 127);
    return static_cast<uint8_t>(c >= 0 ? c : 0x80 | -c);
}

} // namespace

SouthBridge::SouthBridge(sim::PortBus& bus, SouthBridgeOptions options) : bus_(bus)
{
    config_[0] = static_cast<uint8_t>(options.vendor);
    config_[1] = static_cast<uint8_t>(options.vendor >> 8);
    config_[2] = static_cast<uint8_t>(options.device);
    config_[3] = static_cast<uint8_t>(options.device >> 8);
    config_[kCfgIoBase] = static_cast<uint8_t>(options.io_base | 0x01);
    config_[kCfgIoBase + 1] = static_cast<uint8_t>(options.io_base >> 8);

    sensor_[kSensorManufacturer] = 0x47;
    sensor_[kSensorDieRevision] = 0x01;
    sensor_[kSensorTemperature] = SignMagnitude(45);
    sensor_[0x0D] = 0x46;

    std::lock_guard lk(mu_);
    bus_.Map(kPciAddressPort, kPciPorts, this);
    MapIoLocked();
}

SouthBridge::~SouthBridge()
{
    bus_.UnmapAll(this);
}

// ---- Decoding ----

uint16_t SouthBridge::IoBaseLocked() const
{
    return static_cast<uint16_t>((config_[kCfgIoBase] | config_[kCfgIoBase + 1] << 8) & kIoDecodeMask);
}

// Claims the SMBus host and the GPIO port at the base register 0x74 holds now, releasing the old ones
// first. A base of 0 is one firmware never programmed: nothing is decoded. A base whose blocks land on
// another device's ports is a board conflict: reported, and nothing is decoded.
void SouthBridge::MapIoLocked()
{
    if (mapped_base_ != 0) {
        bus_.Unmap(mapped_base_ + kSmbusOffset, kSmbusPorts, this);
        bus_.Unmap(mapped_base_ + kGpioOffset, kGpioPorts, this);
        mapped_base_ = 0;
    }
    const uint16_t base = IoBaseLocked();
    if (base == 0) {
        return;
    }
    const struct {
        unsigned first;
        unsigned count;
    } blocks[] = {{unsigned{base} + kSmbusOffset, kSmbusPorts}, {unsigned{base} + kGpioOffset, kGpioPorts}};
    for (const auto& b : blocks) {
        for (unsigned port = b.first; port < b.first + b.count; port++) {
            const sim::PortDevice* owner =
                port <= 0xFFFF ? bus_.DeviceAt(static_cast<uint16_t>(port)) : nullptr;
            if (port > 0xFFFF || (owner != nullptr && owner != this)) {
                Report(
                    Format("chipset I/O base 0x%04x conflicts at port 0x%04x; SMBus and GPIO are not decoded",
                           base, port));
                return;
            }
        }
    }
    for (const auto& b : blocks) {
        bus_.Map(static_cast<uint16_t>(b.first), b.count, this);
    }
    mapped_base_ = base;
}

uint32_t SouthBridge::PortRead(uint16_t port, unsigned width, const sim::PortContext& ctx)
{
    std::lock_guard lk(mu_);
    if (port >= kPciAddressPort && port < kPciAddressPort + kPciPorts) {
        const uint16_t first = port < kPciDataPort ? kPciAddressPort : kPciDataPort;
        if (!DwordAccessOk(port, first, width, "a PCI configuration", ctx)) {
            return 0xFFFFFFFFu;
        }
        if (port == kPciAddressPort) {
            return pci_address_;
        }
        if (!BridgeSelectedLocked()) {
            return 0xFFFFFFFFu;
        }
        const uint8_t reg = pci_address_ & 0xFC;
        return config_[reg] | config_[reg + 1] << 8 | config_[reg + 2] << 16 |
               static_cast<uint32_t>(config_[reg + 3]) << 24;
    }
    if (mapped_base_ != 0 && port >= mapped_base_ + kSmbusOffset &&
        port < mapped_base_ + kSmbusOffset + kSmbusPorts) {
        // Byte registers: a wider access acts on the addressed byte, the other lanes float high.
        const uint32_t upper = width > 1 ? 0xFFFFFF00u : 0;
        return upper | SmbusReadLocked(port - mapped_base_ - kSmbusOffset, ctx);
    }
    if (mapped_base_ != 0 && port >= mapped_base_ + kGpioOffset &&
        port < mapped_base_ + kGpioOffset + kGpioPorts) {
        if (!DwordAccessOk(port, mapped_base_ + kGpioOffset, width, "the chipset GPIO", ctx)) {
            return 0xFFFFFFFFu;
        }
        return gpio_;
    }
    return 0xFFFFFFFFu;
}

void SouthBridge::PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx)
{
    std::lock_guard lk(mu_);
    if (port >= kPciAddressPort && port < kPciAddressPort + kPciPorts) {
        const uint16_t first = port < kPciDataPort ? kPciAddressPort : kPciDataPort;
        if (!DwordAccessOk(port, first, width, "a PCI configuration", ctx)) {
            return;
        }
        if (port == kPciAddressPort) {
            pci_address_ = value;
            return;
        }
        if (!BridgeSelectedLocked()) {
            return;
        }
        const uint8_t reg = pci_address_ & 0xFC;
        const uint16_t old_base = IoBaseLocked();
        for (unsigned i = 0; i < 4; i++) {
            if (reg + i >= 4) { // vendor and device ids are read-only
                config_[reg + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        }
        config_[kCfgIoBase] |= 0x01;
        if (IoBaseLocked() != old_base) {
            MapIoLocked();
        }
        return;
    }
    if (mapped_base_ != 0 && port >= mapped_base_ + kSmbusOffset &&
        port < mapped_base_ + kSmbusOffset + kSmbusPorts) {
        SmbusWriteLocked(port - mapped_base_ - kSmbusOffset, static_cast<uint8_t>(value), ctx);
        return;
    }
    if (mapped_base_ != 0 && port >= mapped_base_ + kGpioOffset &&
        port < mapped_base_ + kGpioOffset + kGpioPorts) {
        if (DwordAccessOk(port, mapped_base_ + kGpioOffset, width, "the chipset GPIO", ctx)) {
            gpio_ = value;
        }
    }
}

// The PCI and GPIO ports decode dword cycles only; anything else is a driver bug worth a report.
bool SouthBridge::DwordAccessOk(uint16_t port, uint16_t first, unsigned width, const char* what,
                                const sim::PortContext& ctx)
{
    if (width != 4) {
        Report(Format("byte access to %s dword port: port 0x%04x, thread %d", what, port, ctx.thread));
        return false;
    }
    if (port != first) {
        Report(Format("unaligned dword access to %s dword port: port 0x%04x, thread %d", what, port,
                      ctx.thread));
        return false;
    }
    return true;
}

bool SouthBridge::BridgeSelectedLocked() const
{
    const unsigned bus = (pci_address_ >> 16) & 0xFF;
    const unsigned device = (pci_address_ >> 11) & 0x1F;
    const unsigned function = (pci_address_ >> 8) & 0x07;
    return (pci_address_ & kPciEnable) != 0 && bus == 0 && device == kBridgeDevice && function == 0;
}

// ---- SMBus host ----

// The host runs a transaction on its own once started; the emulation settles it lazily, whenever the
// driver next touches the host, by comparing the access's virtual time with the transaction's end.
void SouthBridge::AdvanceLocked(sim::Ticks now)
{
    if (RunningLocked() && !transaction_.collided && now >= transaction_.finish) {
        FinishLocked();
    }
}

void SouthBridge::FinishLocked()
{
    const Transaction t = transaction_;
    transaction_.active = false;
    const bool acknowledged = t.address == kSensorAddress && sensor_present_;
    const bool supported = t.protocol == kProtocolByte || t.protocol == kProtocolByteData;
    if (t.lost) {
        status_ |= kStatusFinished | kStatusCollision;
        return;
    }
    if (!acknowledged || !supported) {
        status_ |= kStatusFinished | kStatusDeviceError;
        return;
    }
    transactions_++;
    if (t.protocol == kProtocolByteData) {
        pointer_ = t.command; // the command byte goes out first and loads the sensor's pointer
    }
    if (t.read) {
        data_ = sensor_[pointer_];
        read_data_ready_ = true;
    } else if (t.protocol == kProtocolByte) {
        pointer_ = t.command;
    } else if (t.command != kSensorManufacturer && t.command != kSensorDieRevision) {
        sensor_[t.command] = t.data;
    }
    status_ |= kStatusFinished;
}

void SouthBridge::ResetTransactionLocked()
{
    transaction_ = {};
    bus_state_ = 0;
}

uint32_t SouthBridge::SmbusReadLocked(unsigned offset, const sim::PortContext& ctx)
{
    AdvanceLocked(ctx.time);
    switch (offset) {
        case kSmbStatus:
            return status_;
        case kSmbBusState:
            return hold_bus_state_ >= 0 ? static_cast<uint8_t>(hold_bus_state_) : bus_state_;
        case kSmbControl:
            return control_ & ~kControlStart;
        case kSmbAddress:
            return slave_address_;
        case kSmbCommand:
            return command_;
        case kSmbData:
            if (read_data_ready_ && collide_data_count_ != 0) {
                bus_state_ = kBusStateCollision;
                if (collide_data_count_ > 0) {
                    collide_data_count_--;
                }
            }
            return data_;
        default:
            return 0;
    }
}

void SouthBridge::SmbusWriteLocked(unsigned offset, uint8_t value, const sim::PortContext& ctx)
{
    AdvanceLocked(ctx.time);
    switch (offset) {
        case kSmbStatus:
            status_ &= static_cast<uint8_t>(~value); // the transaction, if any, goes on
            return;
        case kSmbControl:
            ControlWriteLocked(value, ctx);
            return;
        case kSmbAddress:
        case kSmbCommand:
        case kSmbData:
            // A hung transaction is exempt: the driver cannot tell it from a slow one until it gives up.
            if (RunningLocked()) {
                Report(Format("SMBus host register written while a transaction is in progress: %s 0x%02x at "
                              "port 0x%04x, thread %d",
                              SmbusRegisterName(offset), value, mapped_base_ + kSmbusOffset + offset,
                              ctx.thread));
            }
            (offset == kSmbAddress ? slave_address_ : offset == kSmbCommand ? command_ : data_) = value;
            return;
        default:
            return;
    }
}

// Kill (bit 5) abandons whatever runs; start (bit 4) latches the address, command and data registers
// and begins a transaction. A host stuck in a transaction that never finishes does not take a new start:
// that one is lost, and the host stays stuck until killed.
void SouthBridge::ControlWriteLocked(uint8_t value, const sim::PortContext& ctx)
{
    control_ = value;
    if (value & kControlKill) {
        ResetTransactionLocked();
    }
    if (!(value & kControlStart) || (transaction_.active && transaction_.hung)) {
        return;
    }
    const uint16_t port = mapped_base_ + kSmbusOffset + kSmbControl;
    if (RunningLocked()) {
        Report(Format("SMBus transaction started while another is in progress: control 0x%02x at port "
                      "0x%04x, thread %d",
                      value, port, ctx.thread));
    }
    const uint8_t protocol = value & kControlProtocol;
    if (protocol != kProtocolByte && protocol != kProtocolByteData) {
        Report(Format("SMBus protocol %u is not emulated: control 0x%02x at port 0x%04x, thread %d", protocol,
                      value, port, ctx.thread));
    }
    transaction_ = Transaction{
        .active = true,
        .protocol = protocol,
        .address = static_cast<uint8_t>(slave_address_ >> 1),
        .read = (slave_address_ & 0x01) != 0,
        .command = command_,
        .data = data_,
        .finish = ctx.time + delay_,
    };
    read_data_ready_ = false;
    // A start that loses arbitration never reaches the bus, so it does not use up a hang.
    if (collide_start_count_ != 0) {
        transaction_.collided = true;
        bus_state_ = kBusStateCollision;
        if (collide_start_count_ > 0) {
            collide_start_count_--;
        }
    } else if (collide_status_count_ != 0) {
        transaction_.lost = true;
        if (collide_status_count_ > 0) {
            collide_status_count_--;
        }
    } else if (hang_skip_ > 0) {
        hang_skip_--;
    } else if (hang_count_ != 0) {
        transaction_.hung = true;
        if (hang_count_ > 0) {
            hang_count_--;
        }
    }
}

void SouthBridge::Report(const std::string& text)
{
    bus_.Report("southbridge", text);
}

// ---- Knobs ----

void SouthBridge::SetIds(uint16_t vendor, uint16_t device)
{
    std::lock_guard lk(mu_);
    config_[0] = static_cast<uint8_t>(vendor);
    config_[1] = static_cast<uint8_t>(vendor >> 8);
    config_[2] = static_cast<uint8_t>(device);
    config_[3] = static_cast<uint8_t>(device >> 8);
}

void SouthBridge::SetIoBase(uint16_t base)
{
    std::lock_guard lk(mu_);
    config_[kCfgIoBase] = static_cast<uint8_t>(base | 0x01);
    config_[kCfgIoBase + 1] = static_cast<uint8_t>(base >> 8);
    MapIoLocked();
}

uint32_t SouthBridge::ConfigDword(uint8_t reg) const
{
    std::lock_guard lk(mu_);
    reg &= 0xFC;
    return config_[reg] | config_[reg + 1] << 8 | config_[reg + 2] << 16 |
           static_cast<uint32_t>(config_[reg + 3]) << 24;
}

void SouthBridge::SetCpuTemperature(int celsius)
{
    std::lock_guard lk(mu_);
    sensor_[kSensorTemperature] = SignMagnitude(celsius);
}

void SouthBridge::SetSensorRegister(uint8_t reg, uint8_t value)
{
    std::lock_guard lk(mu_);
    sensor_[reg] = value;
}

uint8_t SouthBridge::SensorRegister(uint8_t reg) const
{
    std::lock_guard lk(mu_);
    return sensor_[reg];
}

void SouthBridge::SetSensorPresent(bool present)
{
    std::lock_guard lk(mu_);
    sensor_present_ = present;
}

void SouthBridge::SetGpio(uint32_t value)
{
    std::lock_guard lk(mu_);
    gpio_ = value;
}

uint32_t SouthBridge::Gpio() const
{
    std::lock_guard lk(mu_);
    return gpio_;
}

void SouthBridge::SetTransactionDelay(sim::Ticks delay)
{
    std::lock_guard lk(mu_);
    delay_ = delay;
}

void SouthBridge::HangTransactions(int count, int after)
{
    std::lock_guard lk(mu_);
    hang_count_ = count < 0 ? -1 : count;
    hang_skip_ = after;
}

void SouthBridge::CollideOnStart(int count)
{
    std::lock_guard lk(mu_);
    collide_start_count_ = count < 0 ? -1 : count;
}

void SouthBridge::CollideInStatus(int count)
{
    std::lock_guard lk(mu_);
    collide_status_count_ = count < 0 ? -1 : count;
}

void SouthBridge::CollideAfterData(int count)
{
    std::lock_guard lk(mu_);
    collide_data_count_ = count < 0 ? -1 : count;
}

void SouthBridge::HoldBusState(int value)
{
    std::lock_guard lk(mu_);
    hold_bus_state_ = value < 0 ? -1 : value;
}

uint64_t SouthBridge::Transactions() const
{
    std::lock_guard lk(mu_);
    return transactions_;
}

} // namespace board
