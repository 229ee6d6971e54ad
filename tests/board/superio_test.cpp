// The emulated Super I/O driven by raw port accesses, as the driver will drive it.
#include "board/superio.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "sim_test.h"

namespace {

constexpr uint16_t kIndex = 0x2E;
constexpr uint16_t kData = 0x2F;
constexpr uint16_t kEcAddress = 0x295;
constexpr uint16_t kEcData = 0x296;

class SuperIoTest : public SimTest {
protected:
    void Write(uint16_t port, uint8_t value) { machine_.bus().Write(port, 1, value); }
    uint8_t Read(uint16_t port) { return static_cast<uint8_t>(machine_.bus().Read(port, 1)); }

    void Key(uint16_t port, std::initializer_list<uint8_t> bytes)
    {
        for (uint8_t b : bytes) {
            Write(port, b);
        }
    }
    uint8_t Config(uint8_t reg)
    {
        Write(kIndex, reg);
        return Read(kData);
    }
    void SetConfig(uint8_t reg, uint8_t value)
    {
        Write(kIndex, reg);
        Write(kData, value);
    }
    uint8_t Ec(uint8_t reg, uint16_t base = 0x290)
    {
        Write(base + 5, reg);
        return Read(base + 6);
    }
    void SetEc(uint8_t reg, uint8_t value)
    {
        Write(kEcAddress, reg);
        Write(kEcData, value);
    }
    ::testing::AssertionResult Reported(const std::vector<std::string>& needles = {})
    {
        return ReportedBy("superio", needles);
    }

    board::SuperIo sio{machine_.bus()};
};

TEST_F(SuperIoTest, EntryKeyAndLeavingConfigurationMode)
{
    // Locked: every configuration access is misuse, and reads float high.
    EXPECT_EQ(Read(kIndex), 0xFF);
    EXPECT_EQ(Read(kData), 0xFF);
    Write(kData, 0x07);
    const std::string locked = "configuration access outside configuration mode";
    EXPECT_TRUE(Reported({locked + ": index read", locked + ": data read", locked + ": data write 0x07"}));

    // A byte that breaks the key is reported; a fresh 0x87 restarts it without a report.
    Key(kIndex, {0x87, 0x01, 0x20});
    EXPECT_TRUE(Reported({"index write 0x20"}));
    EXPECT_FALSE(sio.InConfigMode());
    Key(kIndex, {0x87, 0x01, 0x87, 0x01, 0x55, 0x55});
    EXPECT_TRUE(sio.InConfigMode());

    EXPECT_EQ(Read(kIndex), 0x87);
    EXPECT_EQ(Config(0x20), 0x87);
    EXPECT_EQ(Config(0x21), 0x12);
    SetConfig(0x20, 0x00); // chip id is read-only
    EXPECT_EQ(Config(0x20), 0x87);

    SetConfig(0x02, 0x01); // bit 1 clear: still configuring
    EXPECT_TRUE(sio.InConfigMode());
    SetConfig(0x02, 0x02);
    EXPECT_FALSE(sio.InConfigMode());
    EXPECT_TRUE(Reported());
    EXPECT_EQ(Read(kIndex), 0xFF);
    EXPECT_TRUE(Reported({"index read"}));
}

TEST_F(SuperIoTest, ChipStrappedAt4EHasItsOwnKey)
{
    board::SuperIo other(machine_.bus(), {.config_port = 0x4E, .ec_base = 0x0A00, .gpio_base = 0x0A10});
    Key(0x4E, {0x87, 0x01, 0x55, 0x55});
    EXPECT_FALSE(other.InConfigMode());
    EXPECT_TRUE(Reported({"index write 0x55 at port 0x004e"}));

    Key(0x4E, {0x87, 0x01, 0x55, 0xAA});
    EXPECT_TRUE(other.InConfigMode());
    EXPECT_FALSE(sio.InConfigMode());
    machine_.bus().Write(0x4E, 1, 0x21);
    EXPECT_EQ(machine_.bus().Read(0x4F, 1), 0x12u);
    EXPECT_EQ(Ec(0x58, 0x0A00), 0x90);
    EXPECT_TRUE(Reported());
}

TEST_F(SuperIoTest, LogicalDevicesAndBlockDecoding)
{
    Key(kIndex, {0x87, 0x01, 0x55, 0x55});
    SetConfig(0x07, 4);
    EXPECT_EQ(Config(0x60), 0x02);
    EXPECT_EQ(Config(0x61), 0x90);
    SetConfig(0x07, 5);
    EXPECT_EQ(Config(0x07), 5);
    EXPECT_EQ(Config(0x60), 0x08);
    EXPECT_EQ(Config(0x61), 0x00);
    EXPECT_EQ(Config(0xF9), 0x00);
    SetConfig(0xF0, 0x5A); // per-device storage
    EXPECT_EQ(sio.ConfigRegister(5, 0xF0), 0x5A);
    EXPECT_EQ(sio.ConfigRegister(3, 0xF0), 0x00);

    // GPIO set n sits at base + n - 1.
    sio.SetGpioPort(3, 0xA5);
    EXPECT_EQ(Read(0x802), 0xA5);
    Write(0x804, 0x3C);
    EXPECT_EQ(sio.GpioPort(5), 0x3C);

    // Moving the environment controller releases its old ports.
    SetConfig(0x07, 4);
    SetConfig(0x60, 0x0A);
    SetConfig(0x61, 0x30);
    EXPECT_EQ(machine_.bus().DeviceAt(0x295), nullptr);
    EXPECT_EQ(machine_.bus().DeviceAt(0x0A30), &sio);
    EXPECT_EQ(machine_.bus().DeviceAt(0x0A37), &sio);
    EXPECT_EQ(Ec(0x5B, 0x0A30), 0x12);
    EXPECT_EQ(Read(kEcData), 0xFF);
    EXPECT_EQ(Read(0x802), 0xA5); // the GPIO block stayed
    EXPECT_TRUE(Reported());
}

TEST_F(SuperIoTest, BusyBitAndIdentity)
{
    Write(kEcAddress, 0x2B);
    sio.HoldBusy(2);
    EXPECT_EQ(Read(kEcAddress), 0xAB);
    EXPECT_EQ(Read(kEcAddress), 0xAB);
    EXPECT_EQ(Read(kEcAddress), 0x2B);
    EXPECT_EQ(Ec(0x58), 0x90);
    EXPECT_EQ(Ec(0x5B), 0x12);
    EXPECT_TRUE(Reported());

    sio.HoldBusy(-1);
    for (int i = 0; i < 50; i++) {
        ASSERT_EQ(Read(kEcAddress) & 0x80, 0x80);
    }
    Write(kEcAddress, 0x29);
    EXPECT_TRUE(Reported({"address write while the environment controller is busy"}));
    Read(kEcData);
    sio.HoldBusy(0);
    EXPECT_EQ(Read(kEcAddress), 0x29);

    sio.SetIdentity(0x00, 0x34);
    EXPECT_EQ(Ec(0x58), 0x00);
    EXPECT_EQ(Ec(0x5B), 0x34);
    EXPECT_TRUE(Reported());
}

TEST_F(SuperIoTest, FanCountsFollowDivisorAndCounterWidth)
{
    EXPECT_EQ(sio.Register(0x0B), 0x09);
    EXPECT_EQ(sio.Register(0x0C), 0x03);
    sio.SetFanRpm(1, 500); // divisor 2: 1,350,000 / (0x0546 * 2) = 500
    EXPECT_EQ(Ec(0x0D), 0x46);
    EXPECT_EQ(Ec(0x18), 0x05);
    sio.SetFanRpm(1, 102); // 6618 is nearest the ideal count but reads 101; 6617 reads 102
    EXPECT_EQ(sio.Register(0x0D) | sio.Register(0x18) << 8, 6617);

    sio.SetFanRpm(1, 500);
    SetEc(0x0B, 0x0A); // fan 1 divisor 4
    EXPECT_EQ(sio.Register(0x0D) | sio.Register(0x18) << 8, 675);
    SetEc(0x0C, 0x02); // fan 1 8-bit: the count saturates
    EXPECT_EQ(Ec(0x0D), 0xFF);
    EXPECT_EQ(Ec(0x18), 0x00);

    sio.SetFanRpm(2, 0);
    EXPECT_EQ(Ec(0x0E), 0xFF);
    EXPECT_EQ(Ec(0x19), 0xFF);
    SetEc(0x0C, 0x00);
    EXPECT_EQ(Ec(0x0E), 0xFF);
    EXPECT_EQ(Ec(0x19), 0x00);

    sio.SetRegister(0x0D, 0x12); // raw until set by value again
    EXPECT_EQ(Ec(0x0D), 0x12);
    EXPECT_EQ(Ec(0x18), 0x00);
    SetEc(0x0C, 0x03);
    sio.SetFanRpm(1, 500);
    EXPECT_EQ(Ec(0x0D), 0xA3);
    EXPECT_TRUE(Reported());
}

TEST_F(SuperIoTest, TemperaturesVoltagesAndPlainRegisters)
{
    sio.SetTemperature(1, -10);
    sio.SetTemperature(2, 300);
    sio.SetTemperature(3, -300);
    EXPECT_EQ(Ec(0x29), 0xF6);
    EXPECT_EQ(Ec(0x2A), 0x7F);
    EXPECT_EQ(Ec(0x2B), 0x80);

    sio.SetVoltage(3, 5000, 2688, 100); // 186 reads 4999, 187 reads 5026
    sio.SetVoltage(0, 1200);
    sio.SetVoltage(1, 1208); // 75 and 76 read 8 mV either side: the lower wins
    sio.SetVoltage(2, 9000); // beyond full scale
    EXPECT_EQ(Ec(0x23), 186);
    EXPECT_EQ(Ec(0x20), 75);
    EXPECT_EQ(Ec(0x21), 75);
    EXPECT_EQ(Ec(0x22), 255);

    SetEc(0x15, 0x7F);
    EXPECT_EQ(sio.Register(0x15), 0x7F);
    EXPECT_TRUE(Reported());
}

TEST_F(SuperIoTest, DataAccessWithoutAddressIsReported)
{
    Write(kEcAddress, 0x29);
    Read(kEcData);
    Read(kEcData);
    Write(kEcData, 0x00);
    EXPECT_TRUE(Reported({"data-port access without a preceding address write: read",
                          "data-port access without a preceding address write: write"}));
}

// The test's thread runs as thread 1; threads it starts run when it blocks in the join.
TEST_F(SuperIoTest, InterleavedAddressDataPairIsReported)
{
    Write(kEcAddress, 0x29);
    PKTHREAD other = sim::StartThread("other", [&] { Read(kEcData); });
    sim::JoinThread(other);
    Read(kEcData);
    EXPECT_TRUE(Reported({"address/data pair of thread 1 interleaved by thread 2: data read",
                          "data-port access without a preceding address write"}));

    Write(kEcAddress, 0x2A);
    other = sim::StartThread("other", [&] {
        Write(kEcAddress, 0x2B);
        Read(kEcData); // its own pair: fine
    });
    sim::JoinThread(other);
    EXPECT_TRUE(Reported({"address/data pair of thread 1 interleaved by thread 3: address write 0x2b"}));
}

} // namespace
