// The environment-controller command set: conversions (golden values from the chip's documented
// scaling), pins and their selection bits, start-up sequences, and the framing under SioMutex.
#include "sio_fixture.h"

namespace {

class SioCommandTest : public SioTest {
protected:
    void SetUp() override
    {
        SioTest::SetUp();
        Initialize();
    }

    // Runs a command that must succeed and returns the cell.
    ULONG Read(ULONG group, ULONG item)
    {
        ULONG cell = 0xDEADBEEF;
        EXPECT_EQ(SioCommand(group, item, &cell), STATUS_SUCCESS) << std::hex << group << "/" << item;
        return cell;
    }

    NTSTATUS Set(ULONG group, ULONG item, ULONG value) { return SioCommand(group, item, &value); }
};

TEST_F(SioCommandTest, FanReadingsFollowEachFansDivisorAndTheCounterWidthTheChipCounts)
{
    // The chip counts with the divisor and counter width set now; a reading must use the same ones,
    // fan by fan. An 8-bit counter saturates at 0xFF: 1,350,000 / (255 x 2) = 2647 RPM.
    const struct {
        const char* what;
        UCHAR width;    // register 0x0C when the driver initializes
        UCHAR divisors; // register 0x0B
        bool startup;   // a fan start-up command then enables the 16-bit counters
        ULONG rpm1, rpm2, read1, read2;
    } cases[] = {
        {"fan 1 divides by 4, fan 2 by 2", 0x03, 0x0A, false, 600, 2500, 600, 2500},
        {"fan 1 counts 16 bits, fan 2 only 8", 0x01, 0x09, false, 600, 600, 600, 2647},
        {"firmware left 8 bits, start-up widens", 0x00, 0x09, true, 0, 600, 0, 600},
        {"firmware left 8 bits, no start-up", 0x00, 0x09, false, 0, 600, 2647, 2647},
    };
    for (const auto& c : cases) {
        chip().SetRegister(0x0C, c.width);
        chip().SetRegister(0x0B, c.divisors);
        Initialize();
        if (c.startup) {
            ULONG unused = 0;
            EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN1, &unused), STATUS_SUCCESS);
        }
        board_.SetSensor("Rear Upper", c.rpm1);
        board_.SetSensor("Rear Bottom", c.rpm2);
        EXPECT_NEAR(Read(SIO_GET_FAN_SPEED, SIO_ITEM_FAN1), c.read1, 1.0 + c.read1 / 100.0) << c.what;
        EXPECT_NEAR(Read(SIO_GET_FAN_SPEED, SIO_ITEM_FAN2), c.read2, 1.0 + c.read2 / 100.0) << c.what;
    }
}

TEST_F(SioCommandTest, FanStartupWhoseCounterEnableIsRefusedKeepsReadingEightBits)
{
    // The controller stays busy through the write of 0x0C: the chip still counts 8 bits, and the fan
    // reads must not fetch a high byte the chip does not count.
    chip().SetRegister(0x0C, 0x00);
    Initialize();
    ULONG unused = 0;
    chip().HoldBusy(16);
    EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN1, &unused), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x0C), 0x00);
    chip().SetRegister(0x0D, 0x80);
    ULONG rpm = 0;
    EXPECT_EQ(Accesses([&] { rpm = Read(SIO_GET_FAN_SPEED, SIO_ITEM_FAN1); }), EcRead(0x0D));
    EXPECT_EQ(rpm, 1350000u / (0x80 * 2));
}

TEST_F(SioCommandTest, TemperatureVoltageAndBrightnessConversions)
{
    // Every reading by its group and item numbers, each from its own register: temperatures unsigned
    // (0xF6 is 246, not -10), voltages through the board's dividers, the brightness output's raw byte.
    const struct {
        ULONG group, item;
        UCHAR reg, raw;
        ULONG value;
    } readings[] = {
        {0x1002, 0x8003, 0x2A, 45, 45},     {0x1002, 0x8004, 0x29, 0xF6, 246},
        {0x1002, 0x8005, 0x2B, 30, 30},     {0x1003, 0x8006, 0x20, 0x4B, 1200},
        {0x1003, 0x8007, 0x21, 0x71, 1808}, {0x1003, 0x8008, 0x22, 0xFF, 4080},
        {0x1003, 0x8009, 0x23, 186, 4999},  {0x1003, 0x800A, 0x24, 0xFF, 16320},
        {0x1003, 0x800B, 0x27, 0xFF, 6854}, {0x1004, 0x800C, 0x17, 0xC8, 0xC8},
    };
    for (const auto& r : readings) {
        chip().SetRegister(r.reg, r.raw);
    }
    for (const auto& r : readings) {
        EXPECT_EQ(Read(r.group, r.item), r.value);
    }
}

TEST_F(SioCommandTest, SettingsWriteTheLowByteToTheirRegister)
{
    EXPECT_EQ(Set(SIO_SET_FAN_PWM, SIO_ITEM_FAN1, 0x1234), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x15), 0x34);
    EXPECT_EQ(Set(SIO_SET_FAN_PWM, SIO_ITEM_FAN2, 0x80), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x16), 0x80);
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(Set(SIO_SET_BRIGHTNESS, SIO_ITEM_PWM3, 0x3C), STATUS_SUCCESS); }),
              EcWrite(0x17, 0x3C));
    EXPECT_EQ(Set(SIO_WRITE_VOLT_REG_B, SIO_ITEM_AUX, 0x77), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x3F), 0x77);
    EXPECT_EQ(Set(SIO_WRITE_TEMP_REG_A, SIO_ITEM_TEMP_SYSTEM, 0x50), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x42), 0x50);
}

TEST_F(SioCommandTest, UnknownPairsAreRefusedWithoutTouchingTheChip)
{
    const std::pair<ULONG, ULONG> refused[] = {
        {0x2002, SIO_ITEM_FAN1},
        {0x2003, SIO_ITEM_FAN1},
        {SIO_GET_FAN_SPEED, SIO_ITEM_TEMP_VRM},
        {SIO_GET_VOLTAGE, SIO_ITEM_FAN1},
        {SIO_SET_FAN_PWM, SIO_ITEM_PWM3},
        {SIO_GET_PINS, SIO_ITEM_FAN1},
        {0x1006, SIO_ITEM_FAN1},
        {SIO_WRITE_VOLT_REG_A, SIO_ITEM_TEMP_VRM},
    };
    for (const auto& pair : refused) {
        ULONG cell = 0x4001;
        const auto refuse = [&] {
            EXPECT_EQ(SioCommand(pair.first, pair.second, &cell), STATUS_INVALID_PARAMETER);
        };
        EXPECT_EQ(Accesses(refuse), "");
        EXPECT_EQ(cell, 0x4001u);
    }
}

TEST_F(SioCommandTest, ReadFailureLeavesTheCellAlone)
{
    const struct {
        ULONG group, item;
        int after; // register accesses that go through before the controller turns busy
    } reads[] = {{SIO_GET_VOLTAGE, SIO_ITEM_V12, 0},
                 {SIO_GET_FAN_SPEED, SIO_ITEM_FAN1, 0},
                 {SIO_GET_FAN_SPEED, SIO_ITEM_FAN1, 1}}; // the high count byte
    for (const auto& r : reads) {
        chip().HoldBusy(16, r.after);
        ULONG cell = 0xDEADBEEF;
        EXPECT_EQ(SioCommand(r.group, r.item, &cell), STATUS_DEVICE_BUSY);
        EXPECT_EQ(cell, 0xDEADBEEFu);
    }
    chip().HoldBusy(16);
    ULONG pwm = 0x40;
    EXPECT_EQ(SioCommand(SIO_SET_FAN_PWM, SIO_ITEM_FAN1, &pwm), STATUS_DEVICE_BUSY);
}

TEST_F(SioCommandTest, SinglePinsReadAndWriteAsLevelCodes)
{
    chip().SetGpioPort(2, 0x02);
    EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_A), static_cast<ULONG>(CODE_LEVEL_LOW));
    EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_B), static_cast<ULONG>(CODE_LEVEL_HIGH));
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_A, CODE_LEVEL_HIGH), STATUS_SUCCESS);
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_B, CODE_LEVEL_LOW), STATUS_SUCCESS);
    EXPECT_EQ(chip().GpioPort(2), 0x01);

    // A pair code has no level for one pin; a level has no meaning for the pair; junk is refused first.
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_A, SIO_PAIR_LOW_LOW), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, CODE_LEVEL_HIGH), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, 0x6015), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_FAN1, CODE_LEVEL_HIGH), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(chip().GpioPort(2), 0x01);
}

TEST_F(SioCommandTest, PinPairRewritesSelectionBitsOnlyWhenTheyChange)
{
    chip().SetConfigRegister(5, 0xC1, 0xF7);
    Initialize();
    chip().SetGpioPort(2, 0x00);

    ASSERT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_HIGH_LOW_B_OFF), STATUS_SUCCESS);
    EXPECT_EQ(chip().ConfigRegister(5, 0xC1), 0xF5);
    EXPECT_EQ(g_SioState.PinModeB, static_cast<ULONG>(PIN_SELECT_CLEAR));

    // Bits 0 and 1 swap, the other bits are kept; the register is settled before the pins move.
    EXPECT_EQ(Accesses([&] {
                  ASSERT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_LOW_HIGH_A_OFF), STATUS_SUCCESS);
              }),
              Key(0x2E, 0x55) + ConfigRead(5, 0xC1) + Leave() + Key(0x2E, 0x55) + ConfigWrite(5, 0xC1, 0xF6) +
                  Leave() + "R801 W801:00 R801 W801:02 ");
    EXPECT_EQ(chip().ConfigRegister(5, 0xC1), 0xF6);
    EXPECT_EQ(Accesses([&] {
                  ASSERT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_LOW_HIGH_A_OFF), STATUS_SUCCESS);
              }),
              "R801 W801:02 R801 W801:02 ");

    ASSERT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_LOW_LOW_OFF), STATUS_SUCCESS);
    EXPECT_EQ(chip().ConfigRegister(5, 0xC1), 0xF4);
    EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_PAIR), static_cast<ULONG>(SIO_PAIR_LOW_LOW_OFF));

    ASSERT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_HIGH_HIGH), STATUS_SUCCESS);
    EXPECT_EQ(chip().ConfigRegister(5, 0xC1), 0xF7);
    EXPECT_EQ(chip().GpioPort(2), 0x03);
    EXPECT_EQ(g_SioState.PinModeA, static_cast<ULONG>(PIN_SELECT_SET));
    EXPECT_EQ(g_SioState.PinModeB, static_cast<ULONG>(PIN_SELECT_SET));

    // Both selections in place: the register is left alone, only the pins move.
    EXPECT_EQ(
        Accesses([&] { EXPECT_EQ(Set(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, SIO_PAIR_HIGH_LOW), STATUS_SUCCESS); }),
        "R801 W801:03 R801 W801:01 ");
    EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_PAIR), static_cast<ULONG>(SIO_PAIR_HIGH_LOW));
}

TEST_F(SioCommandTest, PinPairReadMustFitTheSelections)
{
    chip().SetConfigRegister(5, 0xC1, 0x03);
    Initialize();
    const std::pair<UCHAR, ULONG> both_selected[] = {{0x00, SIO_PAIR_LOW_LOW},
                                                     {0x02, SIO_PAIR_LOW_HIGH},
                                                     {0x01, SIO_PAIR_HIGH_LOW},
                                                     {0x03, SIO_PAIR_HIGH_HIGH}};
    for (const auto& [port, code] : both_selected) {
        chip().SetGpioPort(2, port);
        EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_PAIR), code);
    }

    chip().SetConfigRegister(5, 0xC1, 0x02); // A deselected, B selected: only (low, high) has a code
    Initialize();
    chip().SetGpioPort(2, 0x02);
    EXPECT_EQ(Read(SIO_GET_PINS, SIO_ITEM_PIN_PAIR), static_cast<ULONG>(SIO_PAIR_LOW_HIGH_A_OFF));
    for (UCHAR port : {0x00, 0x01, 0x03}) {
        chip().SetGpioPort(2, port);
        ULONG cell = 0x1234;
        EXPECT_EQ(SioCommand(SIO_GET_PINS, SIO_ITEM_PIN_PAIR, &cell), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(cell, 0x1234u);
    }
}

TEST_F(SioCommandTest, StartupSequencesInOrder)
{
    chip().SetRegister(0x13, 0x4B);
    chip().SetRegister(0x14, 0x05);
    ULONG unused = 0;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SioCommand(SIO_BRIGHTNESS_INIT, 0x1234, &unused), STATUS_SUCCESS); }),
              EcWrite(0x0C, 0x03) + EcRead(0x13) + EcWrite(0x13, 0x4C) + EcRead(0x14) + EcWrite(0x14, 0xF5) +
                  EcWrite(0x17, 0x7F) + EcWrite(0x74, 0x00));
    EXPECT_EQ(
        Accesses([&] { EXPECT_EQ(SioCommand(SIO_FAN_INIT_AUTO, SIO_ITEM_FAN1, &unused), STATUS_SUCCESS); }),
        EcWrite(0x0C, 0x03) + EcWrite(0x60, 0x00) + EcWrite(0x61, 0x2D) + EcWrite(0x62, 0x3C) +
            EcWrite(0x63, 0x06) + EcWrite(0x64, 0x84) + EcRead(0x13) + EcWrite(0x13, 0x5D) + EcRead(0x14) +
            EcWrite(0x14, 0xF5) + EcWrite(0x15, 0x7F));
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN2, &unused), STATUS_SUCCESS); }),
              EcWrite(0x0C, 0x03) + EcRead(0x13) + EcWrite(0x13, 0x7F) + EcRead(0x14) + EcWrite(0x14, 0xF5) +
                  EcWrite(0x16, 0x7F));
    // Output 3's bit and both fans' bits set, bits 3, 6 and 7 as the chip had them.
    EXPECT_EQ(chip().Register(0x13), 0x7F);

    EXPECT_EQ(SioCommand(SIO_FAN_INIT_AUTO, SIO_ITEM_FAN2, &unused), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x6C), 0x84);
    EXPECT_EQ(chip().Register(0x68), 0x00);
}

TEST_F(SioCommandTest, FanStartupOfANonFanWritesTheCounterEnableThenRefuses)
{
    chip().SetRegister(0x0C, 0x00);
    ULONG unused = 0;
    EXPECT_EQ(Accesses([&] {
                  EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_TEMP_VRM, &unused), STATUS_INVALID_PARAMETER);
              }),
              EcWrite(0x0C, 0x03));
}

TEST_F(SioCommandTest, StartupSkipsTheWriteBackOfARegisterItCouldNotRead)
{
    chip().SetRegister(0x13, 0x40);
    chip().SetRegister(0x14, 0x00);
    ULONG unused = 0;
    chip().HoldBusy(32); // the counter enable and the read of 0x13 give up
    EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN1, &unused), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x13), 0x40);
    EXPECT_EQ(chip().Register(0x14), 0xF0);
    EXPECT_EQ(chip().Register(0x15), 0x7F);

    chip().SetRegister(0x14, 0x00);
    chip().HoldBusy(48); // ... and the read of 0x14: its status is the command's
    EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN1, &unused), STATUS_DEVICE_BUSY);
    EXPECT_EQ(chip().Register(0x14), 0x00);
}

TEST_F(SioCommandTest, MutexTimeoutIsAFailureWithNothingDone)
{
    // A command stuck on a hung controller access holds SioMutex for 130 s.
    machine_.bus().Stall(0x295, sim::Seconds(130));
    PKTHREAD stuck = sim::StartThread("stuck", [] {
        ULONG cell = 0;
        EXPECT_EQ(SioCommand(SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, &cell), STATUS_SUCCESS);
    });
    sim::Sleep(sim::Ms(1));
    ULONG cell = 0xDEADBEEF;
    const uint64_t before = machine_.bus().Accesses();
    const sim::Ticks asked = sim::Now();
    EXPECT_EQ(SioCommand(SIO_GET_VOLTAGE, SIO_ITEM_V5, &cell), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::Now() - asked, sim::Seconds(120));
    EXPECT_EQ(cell, 0xDEADBEEFu);
    EXPECT_EQ(machine_.bus().Accesses(), before);
    sim::JoinThread(stuck);
    EXPECT_EQ(SioCommand(SIO_GET_VOLTAGE, SIO_ITEM_V5, &cell), STATUS_SUCCESS); // released after the stall
}

TEST_F(SioCommandTest, RefusedCommandStillReleasesTheMutex)
{
    ULONG cell = 0;
    PKTHREAD t = sim::StartThread("caller", [&] { SioCommand(0x9999, SIO_ITEM_FAN1, &cell); });
    sim::JoinThread(t); // a mutex left owned would be reported when the thread ended
    LARGE_INTEGER none;
    none.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&g_SioState.SioMutex, Executive, KernelMode, FALSE, &none),
              STATUS_SUCCESS);
    KeReleaseMutex(&g_SioState.SioMutex, FALSE);
}

} // namespace
