// The primitives under the command set: the environment controller's busy wait and the GPIO bits.
#include "sio_fixture.h"

namespace {

class SioAccessTest : public SioTest {
protected:
    void SetUp() override
    {
        SioTest::SetUp();
        Initialize();
    }
};

TEST_F(SioAccessTest, BusyClearingOnTheSixteenthReadProceeds)
{
    chip().SetTemperature(1, 41);
    chip().HoldBusy(15);
    const sim::Ticks start = sim::Now();
    UCHAR value = 0;
    std::string expected;
    for (int i = 0; i < 15; i++) {
        expected += "R295 ";
    }
    expected += EcRead(0x29);
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(EcReadRegister(0x29, &value), STATUS_SUCCESS); }), expected);
    EXPECT_EQ(value, 41);
    EXPECT_EQ(sim::Now() - start, sim::Ms(75) + BusTime(expected));
}

TEST_F(SioAccessTest, BusyForEverGivesDeviceBusyAfterSeventyFiveMillisecondsWithoutAnAddressWrite)
{
    chip().HoldBusy(-1);
    chip().SetRegister(0x15, 0x40);
    std::string sixteen_reads;
    for (int i = 0; i < 16; i++) {
        sixteen_reads += "R295 ";
    }
    UCHAR value = 0xA5;
    const sim::Ticks start = sim::Now();
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(EcReadRegister(0x29, &value), STATUS_DEVICE_BUSY); }), sixteen_reads);
    EXPECT_EQ(sim::Now() - start, sim::Ms(75) + BusTime(sixteen_reads));
    EXPECT_EQ(value, 0xA5);

    EXPECT_EQ(Accesses([&] { EXPECT_EQ(EcWriteRegister(0x15, 0x99), STATUS_DEVICE_BUSY); }), sixteen_reads);
    EXPECT_EQ(chip().Register(0x15), 0x40);
    chip().HoldBusy(0);
}

TEST_F(SioAccessTest, GpioWriteChangesOnlyItsBit)
{
    chip().SetGpioPort(2, 0xA5);
    EXPECT_EQ(Accesses([] { EXPECT_EQ(SioGpioWriteBit(SIO_GPIO_PIN_B, SIO_LEVEL_HIGH), STATUS_SUCCESS); }),
              "R801 W801:A7 ");
    EXPECT_EQ(chip().GpioPort(2), 0xA7);
    EXPECT_EQ(SioGpioWriteBit(SIO_GPIO_PIN_A, SIO_LEVEL_LOW), STATUS_SUCCESS);
    EXPECT_EQ(chip().GpioPort(2), 0xA6);

    UCHAR level = 0;
    EXPECT_EQ(SioGpioReadBit(SIO_GPIO_PIN_B, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, SIO_LEVEL_HIGH);
    EXPECT_EQ(SioGpioReadBit(SIO_GPIO_PIN_A, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, SIO_LEVEL_LOW);
    EXPECT_EQ(chip().GpioPort(1), 0x00); // set 2 is the port after the base

    // Any set and bit: 0x13 is bit 3 of the base port, 0x37 bit 7 of set 3's.
    EXPECT_EQ(SioGpioWriteBit(0x13, SIO_LEVEL_HIGH), STATUS_SUCCESS);
    EXPECT_EQ(chip().GpioPort(1), 0x08);
    chip().SetGpioPort(3, 0x80);
    EXPECT_EQ(SioGpioReadBit(0x37, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, SIO_LEVEL_HIGH);
}

TEST_F(SioAccessTest, GpioWriteWithABadLevelReadsButNeverWrites)
{
    chip().SetGpioPort(2, 0x5A);
    for (UCHAR level : {UCHAR{0}, UCHAR{3}}) {
        EXPECT_EQ(
            Accesses([&] { EXPECT_EQ(SioGpioWriteBit(SIO_GPIO_PIN_A, level), STATUS_INVALID_PARAMETER); }),
            "R801 ");
    }
    EXPECT_EQ(chip().GpioPort(2), 0x5A);
}

} // namespace
