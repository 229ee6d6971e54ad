// Finding the Super I/O and initializing the layer: which ports are probed, in which order, and what is
// learned from the chip.
#include "sio_fixture.h"

namespace {

class SioProbeTest : public SioTest {};

TEST_F(SioProbeTest, InitializationAtTwoEMakesExactlyTheseAccesses)
{
    const std::string expected = Key(0x2E, 0x55) + "R2E " + ConfigRead(4, 0x60) + ConfigRead(4, 0x61) +
                                 EcRead(0x58) + EcRead(0x5B) + EcRead(0x0C) + EcRead(0x0B) +
                                 ConfigRead(5, 0x60) + ConfigRead(5, 0x61) + ConfigWrite(5, 0xF9, 0x10) +
                                 ConfigWrite(5, 0xFA, 0x02) + ConfigRead(5, 0xC1) + Leave();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Accesses([&] { status = SioInitialize(); }), expected); // 0x4E is never probed
    ASSERT_EQ(status, STATUS_SUCCESS);

    EXPECT_EQ(g_SioState.ConfigIndexPort, 0x2Eu);
    EXPECT_EQ(g_SioState.ConfigDataPort, 0x2Fu);
    EXPECT_EQ(g_SioState.EcAddressPort, 0x295u);
    EXPECT_EQ(g_SioState.EcDataPort, 0x296u);
    EXPECT_EQ(g_SioState.GpioBasePort, 0x800u);
    EXPECT_EQ(chip().ConfigRegister(5, 0xF9), 0x10);
    EXPECT_EQ(chip().ConfigRegister(5, 0xFA), 0x02);
    EXPECT_FALSE(chip().InConfigMode());
}

TEST_F(SioProbeTest, FanSettingsAndPinSelectionAreReadAtStart)
{
    chip().SetRegister(0x0B, 0x2D);
    chip().SetRegister(0x0C, 0x02);
    chip().SetConfigRegister(5, 0xC1, 0xFE); // pin A deselected, pin B selected, other bits noise
    Initialize();
    EXPECT_EQ(g_SioState.FanDivisor1, 32u);
    EXPECT_EQ(g_SioState.FanDivisor2, 32u);
    EXPECT_EQ(g_SioState.FanCountExtension, 0x02);
    EXPECT_EQ(g_SioState.PinModeA, static_cast<ULONG>(PIN_SELECT_CLEAR));
    EXPECT_EQ(g_SioState.PinModeB, static_cast<ULONG>(PIN_SELECT_SET));

    chip().SetRegister(0x0B, 0x00);
    chip().SetConfigRegister(5, 0xC1, 0x01);
    Initialize();
    EXPECT_EQ(g_SioState.FanDivisor1, 1u);
    EXPECT_EQ(g_SioState.FanDivisor2, 1u);
    EXPECT_EQ(g_SioState.PinModeA, static_cast<ULONG>(PIN_SELECT_SET));
    EXPECT_EQ(g_SioState.PinModeB, static_cast<ULONG>(PIN_SELECT_CLEAR));

    // The start-up commands enable both 16-bit counters on the chip, and the layer's copy follows.
    ULONG unused = 0;
    EXPECT_EQ(SioCommand(SIO_FAN_INIT, SIO_ITEM_FAN1, &unused), STATUS_SUCCESS);
    EXPECT_EQ(chip().Register(0x0C), 0x03);
    EXPECT_EQ(g_SioState.FanCountExtension, 0x03);
}

class SioAtFourETest : public SioTest {
protected:
    SioAtFourETest() : SioTest(board::BoardOptions{board::SuperIoOptions{0x4E, 0x0A40, 0x0C00}}) {}
};

TEST_F(SioAtFourETest, ChipAtFourEStillGetsTheTwoEKeyFirst)
{
    const std::string accesses = Accesses([&] { EXPECT_EQ(SioInitialize(), STATUS_SUCCESS); });
    EXPECT_EQ(
        accesses.rfind(Key(0x2E, 0x55) + "R2E " + Key(0x4E, 0xAA) + "R4E " + ConfigRead(4, 0x60, 0x4E), 0),
        0u)
        << accesses;
    EXPECT_EQ(g_SioState.ConfigIndexPort, 0x4Eu);
    EXPECT_EQ(g_SioState.ConfigDataPort, 0x4Fu);
    EXPECT_EQ(g_SioState.EcAddressPort, 0x0A45u);
    EXPECT_EQ(g_SioState.GpioBasePort, 0x0C00u);
    EXPECT_FALSE(chip().InConfigMode());
}

TEST_F(SioAtFourETest, ReentryAfterStartUsesTheKeyTheChipAnswered)
{
    Initialize();
    chip().SetConfigRegister(5, 0xC1, 0x03);
    UCHAR value = 0;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SioConfigRead(5, 0xC1, &value), STATUS_SUCCESS); }),
              Key(0x4E, 0xAA) + ConfigRead(5, 0xC1, 0x4E) + Leave(0x4E));
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(SioConfigWrite(5, 0xC1, 0x01), STATUS_SUCCESS);
    EXPECT_EQ(chip().ConfigRegister(5, 0xC1), 0x01);
    EXPECT_FALSE(chip().InConfigMode());
}

class NoSioTest : public SioTest {
protected:
    NoSioTest() : SioTest(board::BoardOptions{std::nullopt}) {}
};

TEST_F(NoSioTest, AbsentChipIsNoSuchDeviceAfterBothProbes)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(Accesses([&] { status = SioInitialize(); }),
              Key(0x2E, 0x55) + "R2E " + Key(0x4E, 0xAA) + "R4E ");
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
}

class SioIdentityTest : public SioTest {
protected:
    SioIdentityTest() : SioTest(board::BoardOptions{board::SuperIoOptions{0x2E, 0x0290, 0x0A00}}) {}
};

TEST_F(SioIdentityTest, WrongIdentityStopsBeforeTheGpioBlockAndLeavesConfigurationMode)
{
    chip().SetRegister(0x0B, 0x1B); // divisors 8 and 8, never read
    chip().SetIdentity(0x90, 0x13);
    const std::string accesses = Accesses([&] { EXPECT_EQ(SioInitialize(), STATUS_NO_SUCH_DEVICE); });
    EXPECT_EQ(accesses, Key(0x2E, 0x55) + "R2E " + ConfigRead(4, 0x60) + ConfigRead(4, 0x61) + EcRead(0x58) +
                            EcRead(0x5B) + Leave());
    EXPECT_FALSE(chip().InConfigMode());
    EXPECT_NE(g_SioState.GpioBasePort, 0x0A00u);
    EXPECT_NE(g_SioState.FanDivisor1, 8u);

    chip().SetIdentity(0x91, 0x12);
    EXPECT_EQ(SioInitialize(), STATUS_NO_SUCH_DEVICE);
    chip().SetIdentity(0x90, 0x12);
    Initialize();
    EXPECT_EQ(g_SioState.GpioBasePort, 0x0A00u);
}

TEST_F(SioProbeTest, ControllerBusyAtStartFailsInitializationAndLeavesConfigurationMode)
{
    // The controller turns busy at each of its reads in turn: that read gives up and nothing further is
    // tried.
    const UCHAR reads[] = {0x58, 0x5B, 0x0C, 0x0B};
    std::string before = Key(0x2E, 0x55) + "R2E " + ConfigRead(4, 0x60) + ConfigRead(4, 0x61);
    std::string busy;
    for (int i = 0; i < 16; i++) {
        busy += "R295 ";
    }
    for (int after = 0; after < 4; after++) {
        chip().HoldBusy(16, after);
        EXPECT_EQ(Accesses([] { EXPECT_EQ(SioInitialize(), STATUS_DEVICE_BUSY); }), before + busy + Leave());
        EXPECT_FALSE(chip().InConfigMode());
        before += EcRead(reads[after]);
    }
}

} // namespace
