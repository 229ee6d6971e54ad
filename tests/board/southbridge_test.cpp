// The emulated south bridge driven by raw port accesses: PCI configuration, the SMBus host with the CPU
// sensor behind it, and the GPIO dword port.
#include "board/southbridge.h"

#include <string>
#include <vector>

#include "board/board.h"
#include "sim_test.h"

namespace {

constexpr uint16_t kSmb = 0x0CD0; // default I/O base 0x0C00 + 0xD0
constexpr uint16_t kStatus = 0, kBusState = 2, kControl = 3, kAddress = 4, kCommand = 5, kData = 8;
constexpr uint8_t kSensor = 0x4C;

uint32_t PciAddress(unsigned device, unsigned function, unsigned reg, bool enable = true)
{
    return (enable ? 0x80000000u : 0) | device << 11 | function << 8 | reg;
}

class SouthBridgeTest : public SimTest {
protected:
    uint32_t Pci(uint32_t address)
    {
        machine_.bus().Write(0xCF8, 4, address);
        return machine_.bus().Read(0xCFC, 4);
    }
    uint8_t Smb(unsigned reg, uint16_t base = kSmb)
    {
        return static_cast<uint8_t>(machine_.bus().Read(base + reg, 1));
    }
    void SetSmb(unsigned reg, uint8_t value, uint16_t base = kSmb)
    {
        machine_.bus().Write(base + reg, 1, value);
    }

    // Starts a transaction the way the driver does: slave address, command, data, then control.
    void Start(uint8_t address, bool read, uint8_t protocol, uint8_t command, uint8_t data = 0,
               uint16_t base = kSmb)
    {
        SetSmb(kAddress, static_cast<uint8_t>(address << 1 | (read ? 1 : 0)), base);
        SetSmb(kCommand, command, base);
        SetSmb(kData, data, base);
        SetSmb(kControl, static_cast<uint8_t>(0x10 | protocol), base);
    }
    // A whole transaction: start, let it run, return the status and clear it.
    uint8_t Run(uint8_t address, bool read, uint8_t protocol, uint8_t command, uint8_t data = 0,
                uint16_t base = kSmb)
    {
        Start(address, read, protocol, command, data, base);
        sim::Sleep(sim::Us(30));
        const uint8_t status = Smb(kStatus, base);
        SetSmb(kStatus, status, base);
        return status;
    }
    uint8_t ReadSensor(uint8_t reg)
    {
        EXPECT_EQ(Run(kSensor, true, 2, reg), 0x08);
        return Smb(kData);
    }
    ::testing::AssertionResult Reported(const std::vector<std::string>& needles = {})
    {
        return ReportedBy("southbridge", needles);
    }

    board::SouthBridge sb{machine_.bus()};
};

TEST_F(SouthBridgeTest, PciConfigurationMechanism)
{
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x00)), 0x09661039u);
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x74)), 0x00000C01u);
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x76)), 0x00000C01u); // the low bits do not select bytes
    EXPECT_EQ(machine_.bus().Read(0xCF8, 4), PciAddress(2, 0, 0x76));
    EXPECT_EQ(Pci(PciAddress(2, 1, 0x00)), 0xFFFFFFFFu);
    EXPECT_EQ(Pci(PciAddress(3, 0, 0x00)), 0xFFFFFFFFu);
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x00) | 1u << 16), 0xFFFFFFFFu); // bus 1
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x00, false)), 0xFFFFFFFFu);

    // Writes land in configuration space, except the read-only ids.
    machine_.bus().Write(0xCF8, 4, PciAddress(2, 0, 0x40));
    machine_.bus().Write(0xCFC, 4, 0x12345678);
    machine_.bus().Write(0xCF8, 4, PciAddress(2, 0, 0x00));
    machine_.bus().Write(0xCFC, 4, 0xFFFFFFFF);
    EXPECT_EQ(sb.ConfigDword(0x40), 0x12345678u);
    EXPECT_EQ(sb.ConfigDword(0x00), 0x09661039u);
    sb.SetIds(0x8086, 0x1234);
    EXPECT_EQ(Pci(PciAddress(2, 0, 0x00)), 0x12348086u);
    EXPECT_TRUE(Reported());

    EXPECT_EQ(machine_.bus().Read(0xCF8, 1), 0xFFu);
    machine_.bus().Write(0xCFC, 1, 0x00);
    EXPECT_EQ(machine_.bus().Read(0xCFD, 1), 0xFFu);
    const std::string misuse = "byte access to a PCI configuration dword port";
    EXPECT_TRUE(Reported({misuse + ": port 0x0cf8", misuse + ": port 0x0cfc", misuse + ": port 0x0cfd"}));
    EXPECT_EQ(sb.ConfigDword(0x00), 0x12348086u);
}

TEST_F(SouthBridgeTest, SensorThroughTheHost)
{
    EXPECT_EQ(ReadSensor(0xFE), 0x47);
    EXPECT_EQ(ReadSensor(0xFF), 0x01);
    EXPECT_EQ(ReadSensor(0x01), 45);
    EXPECT_EQ(Smb(kControl), 0x02); // start reads back clear
    EXPECT_EQ(Smb(kBusState), 0x00);

    EXPECT_EQ(Run(kSensor, false, 2, 0x0D, 0x50), 0x08);
    EXPECT_EQ(sb.SensorRegister(0x0D), 0x50);
    EXPECT_EQ(Run(kSensor, false, 2, 0xFE, 0x00), 0x08); // identity is read-only
    EXPECT_EQ(sb.SensorRegister(0xFE), 0x47);

    // Send byte loads the pointer; receive byte reads through it.
    sb.SetCpuTemperature(-5);
    EXPECT_EQ(Run(kSensor, false, 1, 0x01), 0x08);
    EXPECT_EQ(Run(kSensor, true, 1, 0x00), 0x08);
    EXPECT_EQ(Smb(kData), 0x85);
    sb.SetCpuTemperature(200);
    EXPECT_EQ(ReadSensor(0x01), 0x7F);
    sb.SetCpuTemperature(-300);
    EXPECT_EQ(ReadSensor(0x01), 0xFF);
    EXPECT_EQ(sb.Transactions(), 9u);

    // Nobody answers at another address, nor at the sensor's once it is gone.
    EXPECT_EQ(Run(0x2D, true, 2, 0x01), 0x0C);
    sb.SetSensorPresent(false);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0D, 0x10), 0x0C);
    EXPECT_EQ(sb.SensorRegister(0x0D), 0x50);
    sb.SetSensorPresent(true);
    EXPECT_EQ(Run(kSensor, true, 2, 0xFF), 0x08);
    EXPECT_EQ(sb.Transactions(), 10u);
}

TEST_F(SouthBridgeTest, TransactionTakesItsDelay)
{
    Start(kSensor, true, 2, 0xFE);
    sim::Sleep(sim::Us(24));
    EXPECT_EQ(Smb(kStatus), 0x00);
    sim::Sleep(sim::Us(1));
    EXPECT_EQ(Smb(kStatus), 0x08);
    SetSmb(kStatus, 0x08);
    EXPECT_EQ(Smb(kStatus), 0x00);

    sb.SetTransactionDelay(sim::Ms(1));
    Start(kSensor, true, 2, 0x01);
    sim::Sleep(sim::Us(999));
    EXPECT_EQ(Smb(kStatus), 0x00);
    sim::Sleep(sim::Us(1));
    EXPECT_EQ(Smb(kStatus), 0x08);
    EXPECT_EQ(Smb(kData), 45);
}

TEST_F(SouthBridgeTest, CollisionsHangsAndRecovery)
{
    // A start that collides never finishes; the kill clears the bus, and the retry goes through.
    sb.CollideOnStart(1);
    Start(kSensor, true, 2, 0x01);
    EXPECT_EQ(Smb(kBusState), 0x01);
    sim::Sleep(sim::Ms(1));
    EXPECT_EQ(Smb(kStatus), 0x00);
    SetSmb(kControl, 0x20);
    EXPECT_EQ(Smb(kBusState), 0x00);
    EXPECT_EQ(ReadSensor(0x01), 45);
    EXPECT_EQ(sb.Transactions(), 1u);

    // Clearing the status does not clear a collision: only the kill does.
    sb.CollideOnStart(1);
    Start(kSensor, true, 2, 0x01);
    SetSmb(kStatus, 0xFF);
    EXPECT_EQ(Smb(kBusState), 0x01);
    SetSmb(kControl, 0x20);
    EXPECT_EQ(Smb(kBusState), 0x00);

    // Arbitration lost on the wire ends the transaction with the collision status bit, with no effect.
    sb.CollideInStatus(1);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0E, 0x21), 0x0A);
    EXPECT_EQ(sb.SensorRegister(0x0E), 0x00);
    EXPECT_EQ(Smb(kBusState), 0x00);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0E, 0x21), 0x08);
    EXPECT_EQ(sb.SensorRegister(0x0E), 0x21);

    // A collision after the data read shows only once a read's data is read.
    sb.CollideAfterData(1);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0E, 0x00), 0x08);
    Smb(kData);
    EXPECT_EQ(Smb(kBusState), 0x00);
    EXPECT_EQ(Run(kSensor, true, 2, 0xFE), 0x08);
    EXPECT_EQ(Smb(kBusState), 0x00);
    EXPECT_EQ(Smb(kData), 0x47);
    EXPECT_EQ(Smb(kBusState), 0x01);
    SetSmb(kControl, 0x20);
    EXPECT_EQ(Smb(kBusState), 0x00);
    EXPECT_EQ(ReadSensor(0xFF), 0x01);
    EXPECT_EQ(Smb(kBusState), 0x00);

    // A hung transaction holds the host through a status clear: a start on top of it is lost, and only
    // the kill frees the host. Neither reaches the sensor.
    sb.HangTransactions(1);
    Start(kSensor, false, 2, 0x0D, 0x33);
    sim::Sleep(sim::Ms(10));
    EXPECT_EQ(Smb(kStatus), 0x00);
    SetSmb(kStatus, 0xFF);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0D, 0x34), 0x00);
    sim::Sleep(sim::Ms(10));
    EXPECT_EQ(Smb(kStatus), 0x00);
    EXPECT_EQ(sb.SensorRegister(0x0D), 0x46);
    SetSmb(kControl, 0x20);
    EXPECT_EQ(Run(kSensor, false, 2, 0x0D, 0x35), 0x08);
    EXPECT_EQ(sb.SensorRegister(0x0D), 0x35);

    // A stuck bus reads its state whatever the host does.
    sb.HoldBusState(3);
    SetSmb(kControl, 0x20);
    SetSmb(kStatus, 0xFF);
    EXPECT_EQ(Smb(kBusState), 0x03);
    sb.HoldBusState(-1);
    EXPECT_EQ(Smb(kBusState), 0x00);
}

TEST_F(SouthBridgeTest, GpioPortAndMovingTheIoBase)
{
    machine_.bus().Write(0x0C64, 4, 0xDEADBEEF);
    EXPECT_EQ(sb.Gpio(), 0xDEADBEEFu);
    sb.SetGpio(0x00C0FFEE);
    EXPECT_EQ(machine_.bus().Read(0x0C64, 4), 0x00C0FFEEu);
    EXPECT_EQ(machine_.bus().Read(0x0C64, 1), 0xFFu);
    machine_.bus().Write(0x0C66, 1, 0x00);
    EXPECT_TRUE(Reported({"byte access to the chipset GPIO dword port: port 0x0c64",
                          "byte access to the chipset GPIO dword port: port 0x0c66"}));
    EXPECT_EQ(sb.Gpio(), 0x00C0FFEEu);

    sb.SetIoBase(0x0E00);
    EXPECT_EQ(sb.ConfigDword(0x74), 0x00000E01u);
    EXPECT_EQ(machine_.bus().DeviceAt(kSmb), nullptr);
    EXPECT_EQ(machine_.bus().DeviceAt(0x0C64), nullptr);
    EXPECT_EQ(machine_.bus().DeviceAt(0x0ED8), &sb);
    EXPECT_EQ(machine_.bus().Read(0x0E64, 4), 0x00C0FFEEu);
    EXPECT_EQ(Run(kSensor, true, 2, 0xFE, 0, 0x0ED0), 0x08);
    EXPECT_EQ(Smb(kData, 0x0ED0), 0x47);

    // The driver's own write of register 0x74 moves the decode as well.
    machine_.bus().Write(0xCF8, 4, PciAddress(2, 0, 0x74));
    machine_.bus().Write(0xCFC, 4, 0x00000D00);
    EXPECT_EQ(machine_.bus().Read(0xCFC, 4), 0x00000D01u);
    EXPECT_EQ(machine_.bus().DeviceAt(0x0ED0), nullptr);
    EXPECT_EQ(machine_.bus().Read(0x0D64, 4), 0x00C0FFEEu);
}

TEST_F(SouthBridgeTest, ProtocolChecker)
{
    const std::string busy = "SMBus host register written while a transaction is in progress";
    Start(kSensor, true, 2, 0x01);
    SetSmb(kAddress, 0x98);
    SetSmb(kCommand, 0xFE);
    SetSmb(kData, 0x00);
    SetSmb(kControl, 0x12);
    SetSmb(kStatus, 0x08); // clearing status is fine
    EXPECT_TRUE(Reported({busy + ": slave address 0x98", busy + ": command 0xfe", busy + ": data 0x00",
                          "SMBus transaction started while another is in progress"}));
    SetSmb(kControl, 0x22); // so is the kill, and a clean sequence after it
    EXPECT_EQ(Run(kSensor, true, 2, 0xFE), 0x08);
    EXPECT_TRUE(Reported());

    // A driver that started over a hung transaction cannot have known it was hung: no report, though
    // the start is lost.
    sb.HangTransactions(1);
    Start(kSensor, true, 2, 0x01);
    sim::Sleep(sim::Us(30));
    Start(kSensor, true, 2, 0xFF);
    sim::Sleep(sim::Us(30));
    EXPECT_EQ(Smb(kStatus), 0x00);
    SetSmb(kControl, 0x20);
    EXPECT_TRUE(Reported());

    // A collided transaction is still in progress until the driver kills it.
    sb.CollideOnStart(1);
    Start(kSensor, true, 2, 0x01);
    SetSmb(kCommand, 0x01);
    SetSmb(kControl, 0x20);
    SetSmb(kCommand, 0x01);
    EXPECT_TRUE(Reported({busy + ": command 0x01"}));

    // The host here carries out only the byte protocols.
    Start(kSensor, true, 3, 0x01);
    EXPECT_TRUE(Reported({"SMBus protocol 3 is not emulated"}));
    sim::Sleep(sim::Us(30));
    EXPECT_EQ(Smb(kStatus), 0x0C);
}

class BoardWiringTest : public SimTest {};

// The CPU sensor's name and kind in the board's wiring: SensorCatalogue.TheBoardAndThePlantNameItsSensors.
TEST_F(BoardWiringTest, CpuSensorIsWiredToTheBridge)
{
    {
        board::Board board(machine_.bus());
        ASSERT_NE(board.southbridge(), nullptr);
        EXPECT_EQ(board.southbridge()->SensorRegister(0x01), 45);
        EXPECT_EQ(board.superio()->Register(0x29), 36); // the Super I/O keeps its own sensors
        EXPECT_TRUE(board.SetSensor("CPU", -12));
        EXPECT_EQ(board.southbridge()->SensorRegister(0x01), 0x8C);
        EXPECT_EQ(board.superio()->Register(0x29), 36);
    }
    board::Board bare(machine_.bus(), {.southbridge = std::nullopt});
    EXPECT_EQ(bare.southbridge(), nullptr);
    EXPECT_TRUE(bare.SetSensor("CPU", 50));
    machine_.bus().Write(0xCF8, 4, PciAddress(2, 0, 0x00));
    EXPECT_EQ(machine_.bus().Read(0xCFC, 4), 0xFFFFFFFFu);
}

} // namespace
