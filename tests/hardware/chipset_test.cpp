// The driver's chipset layer against the emulated south bridge: PCI configuration reads, SMBus transfers
// with their retries and failures, the CPU temperature sensor, and the GPIO signals.
#include <functional>
#include <string>

#include "driver_test.h"
#include "hardware/chipset.h"

namespace {

class ChipsetTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(ChipsetInitialize(), STATUS_SUCCESS);
        ASSERT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS);
    }

    static size_t Count(const std::string& haystack, const std::string& needle)
    {
        size_t n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
            n++;
        }
        return n;
    }

    ULONG CpuTemperature()
    {
        ULONG cell = 0xDEADBEEF;
        EXPECT_EQ(SmbusSensorCommand(SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU, &cell), STATUS_SUCCESS);
        return cell;
    }
};

TEST_F(ChipsetTest, PciReadsPickBytesAndWordsOutOfTheDword)
{
    UCHAR byte = 0;
    USHORT word = 0;
    ULONG dword = 0;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(PciConfigRead(PCI_WIDTH_BYTE, 0x80001003, &byte), STATUS_SUCCESS); }),
              "WCF8:80001003 RCFC ");
    EXPECT_EQ(byte, 0x09); // bits 24-31 of vendor | device << 16
    EXPECT_EQ(PciConfigRead(PCI_WIDTH_WORD, PCI_ADDRESS_DEVICE_ID, &word), STATUS_SUCCESS);
    EXPECT_EQ(word, 0x0966);
    EXPECT_EQ(PciConfigRead(PCI_WIDTH_WORD, PCI_ADDRESS_VENDOR_ID, &word), STATUS_SUCCESS);
    EXPECT_EQ(word, 0x1039);
    EXPECT_EQ(PciConfigRead(PCI_WIDTH_DWORD, 0x80001000, &dword), STATUS_SUCCESS);
    EXPECT_EQ(dword, 0x09661039u);
    EXPECT_EQ(
        Accesses([&] { EXPECT_EQ(PciConfigRead(0x1004, 0x80001000, &dword), STATUS_INVALID_PARAMETER); }),
        "");
}

TEST_F(ChipsetTest, IoBaseLocatesTheSmbusHostAndTheGpioPort)
{
    bridge().SetIoBase(0x0ABC);
    ASSERT_EQ(ChipsetInitialize(), STATUS_SUCCESS);
    EXPECT_EQ(g_ChipsetState.SmbusBasePort, 0x0AD0u);
    EXPECT_EQ(g_ChipsetState.ChipsetGpioPort, 0x0A64u);
    EXPECT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS);

    bridge().SetIds(0x1039, 0x0965);
    EXPECT_EQ(ChipsetInitialize(), STATUS_NO_SUCH_DEVICE);
    bridge().SetIds(0x8086, 0x0966);
    EXPECT_EQ(ChipsetInitialize(), STATUS_NO_SUCH_DEVICE);
}

TEST_F(ChipsetTest, ByteDataTransfersMakeExactlyTheseAccesses)
{
    UCHAR data = 0;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_SUCCESS); }),
              "WCD0:FF RCD2 WCD4:99 WCD5:01 RCD3 WCD3:12 RCD2 RCD0 RCD8 RCD2 WCD0:FF ");
    EXPECT_EQ(data, 45);
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x50), STATUS_SUCCESS); }),
              "WCD0:FF RCD2 WCD4:98 WCD5:0D WCD8:50 RCD3 WCD3:12 RCD2 RCD0 WCD0:FF ");
    EXPECT_EQ(bridge().SensorRegister(0x0D), 0x50);
    // Three at start, two here: only the settle sleeps and the accesses themselves take time.
    EXPECT_EQ(sim::Now(), sim::Us(30) * 5 + BusTime(machine_.bus().Accesses()));
}

TEST_F(ChipsetTest, CollisionsRestartTheTransactionUpToThirtyOneAttempts)
{
    bridge().CollideOnStart(30);
    UCHAR data = 0;
    const sim::Ticks start = sim::Now();
    std::string trace = Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0xFE, &data), STATUS_SUCCESS); });
    EXPECT_EQ(Count(trace, "WCD3:12"), 31u);
    EXPECT_EQ(Count(trace, "WCD3:22"), 30u); // the kill bit before every retry
    EXPECT_EQ(data, 0x47);
    EXPECT_EQ(sim::Now() - start, 31 * sim::Us(30) + 30 * sim::Ms(5) + BusTime(trace));

    bridge().CollideOnStart(31);
    trace = Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0xFE, &data), STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(Count(trace, "WCD3:12"), 31u);

    bridge().HoldBusState(2); // never free: no attempt starts at all
    trace = Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0xFE, &data), STATUS_UNSUCCESSFUL); });
    EXPECT_EQ(Count(trace, "WCD4"), 0u);
    EXPECT_EQ(Count(trace, "RCD2"), 31u);
    bridge().HoldBusState(-1);
}

// The attempt that saw the collision had finished: its finished bit is cleared with the kill, so that the
// next attempt waits for its own transaction (here too when that one outlasts the settle time) rather than
// leaving it running under the next transfer.
TEST_F(ChipsetTest, CollisionAfterTheDataReadTakesTheNextAttemptsByte)
{
    for (const sim::Ticks delay : {sim::Us(25), sim::Ms(1)}) {
        SCOPED_TRACE(sim::FormatTicks(delay));
        bridge().SetTransactionDelay(delay);
        bridge().CollideAfterData(1);
        bridge().SetCpuTemperature(50);
        UCHAR data = 0;
        const std::string trace =
            Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_SUCCESS); });
        EXPECT_EQ(Count(trace, "RCD8"), 2u);
        EXPECT_EQ(data, 50);
        EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x50), STATUS_SUCCESS);
        EXPECT_EQ(bridge().SensorRegister(0x0D), 0x50);
        EXPECT_EQ(TakeReports().size(), 0u); // no host register written under a running transaction
    }
}

// A failed transfer leaves its status set; the next transfer's clear is lost while the host does not
// answer at its ports (its I/O base moved away), and the host is back during the retry's sleep. The attempt
// that then gets through clears the status first, so its own transaction's end is what it waits for: taking
// the stale finished bit would leave that transaction running under the next transfer.
TEST_F(ChipsetTest, AStatusLeftSetWhileTheHostWasAwayIsNotTakenForTheNextTransfersEnd)
{
    bridge().SetTransactionDelay(sim::Ms(2));
    bridge().CollideInStatus(1);
    UCHAR data = 0;
    EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_UNSUCCESSFUL);
    bridge().SetCpuTemperature(47);
    bridge().SetIoBase(0x0A00); // the driver still uses the old ports: nothing answers there
    PKTHREAD back = sim::StartThread("firmware", [&] {
        sim::Sleep(sim::Ms(2)); // within the first retry's 5 ms sleep
        bridge().SetIoBase(0x0C00);
    });
    EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, 47);
    sim::JoinThread(back);
    EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x50), STATUS_SUCCESS);
    EXPECT_EQ(bridge().SensorRegister(0x0D), 0x50);
    EXPECT_EQ(TakeReports().size(), 0u);
}

// A failure the host reports in its status (device error, collision on the wire) ends the transfer at
// the first attempt, with nothing stored; the next transfer is sound.
TEST_F(ChipsetTest, StatusFailuresEndTheTransferWithoutRetry)
{
    const struct {
        const char* fault;
        std::function<void(board::SouthBridge&)> inject;
        std::function<void(board::SouthBridge&)> undo;
    } cases[] = {
        {"device error", [](board::SouthBridge& b) { b.SetSensorPresent(false); },
         [](board::SouthBridge& b) { b.SetSensorPresent(true); }},
        {"collision bit", [](board::SouthBridge& b) { b.CollideInStatus(1); }, [](board::SouthBridge&) {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        c.inject(bridge());
        UCHAR data = 0x5A;
        std::string trace =
            Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_UNSUCCESSFUL); });
        EXPECT_EQ(Count(trace, "WCD3:12"), 1u);
        EXPECT_EQ(Count(trace, "RCD8"), 0u);
        EXPECT_EQ(data, 0x5A);
        c.inject(bridge());
        EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x21), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(bridge().SensorRegister(0x0D), 0x46);
        c.undo(bridge());
        EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x46), STATUS_SUCCESS);
        EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_SUCCESS);
        EXPECT_EQ(data, 45);
    }
    bridge().SetSensorPresent(false);
    EXPECT_EQ(SmbusSensorInitialize(), STATUS_UNSUCCESSFUL);
}

// A transaction that never finishes is given up after 300 status reads 5 ms apart, and killed: clearing
// the status alone would leave it holding the host, and the next transfer would be lost on top of it.
TEST_F(ChipsetTest, UnfinishedTransferIsKilledAndTheNextIsSound)
{
    const struct {
        const char* transfer;
        std::function<NTSTATUS()> run;
    } cases[] = {
        {"read",
         [] {
             UCHAR d = 0x5A;
             return SmbusReadByteData(0x4C, 0x01, &d);
         }},
        {"write", [] { return SmbusWriteByteData(0x4C, 0x0D, 0x21); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.transfer);
        bridge().HangTransactions(1);
        const sim::Ticks start = sim::Now();
        const std::string trace = Accesses([&] { EXPECT_EQ(c.run(), STATUS_UNSUCCESSFUL); });
        EXPECT_EQ(Count(trace, "RCD0"), 300u);
        EXPECT_EQ(sim::Now() - start, sim::Us(30) + 299 * sim::Ms(5) + BusTime(trace));
        EXPECT_EQ(bridge().SensorRegister(0x0D), 0x46);

        bridge().SetCpuTemperature(52);
        UCHAR data = 0;
        EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), STATUS_SUCCESS);
        EXPECT_EQ(data, 52);
        EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x46), STATUS_SUCCESS);
    }
}

TEST_F(ChipsetTest, SensorIdentityAndTemperatureEncoding)
{
    bridge().SetSensorRegister(0xFE, 0x48);
    EXPECT_EQ(SmbusSensorInitialize(), STATUS_NO_SUCH_DEVICE);
    bridge().SetSensorRegister(0xFE, 0x47);
    ASSERT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS);

    bridge().SetSensorRegister(0x01, 0x2D);
    EXPECT_EQ(static_cast<LONG>(CpuTemperature()), 45);
    bridge().SetSensorRegister(0x01, 0x85);
    EXPECT_EQ(static_cast<LONG>(CpuTemperature()), -5);
    bridge().SetSensorRegister(0x01, 0xFF);
    EXPECT_EQ(static_cast<LONG>(CpuTemperature()), -127);

    ULONG cell = 0x1234;
    EXPECT_EQ(SmbusSensorCommand(SMB_SET_REG_0E, 0, &cell), STATUS_SUCCESS);
    EXPECT_EQ(bridge().SensorRegister(0x0E), 0x34);
    EXPECT_EQ(SmbusSensorCommand(0x3001, 0, &cell), STATUS_INVALID_PARAMETER);
}

TEST_F(ChipsetTest, GpioBitsAndCommands)
{
    bridge().SetGpio(0xFFFF0000);
    UCHAR level = 0;
    EXPECT_EQ(ChipsetGpioReadBit(15, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ChipsetGpioWriteBit(3, CS_LEVEL_HIGH), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0xFFFF0008u);
    EXPECT_EQ(Accesses([] { EXPECT_EQ(ChipsetGpioWriteBit(15, CS_LEVEL_HIGH), STATUS_INVALID_PARAMETER); }),
              "");
    EXPECT_EQ(Accesses([] { EXPECT_EQ(ChipsetGpioWriteBit(3, 3), STATUS_INVALID_PARAMETER); }), "");

    ULONG cell = CODE_LEVEL_HIGH;
    EXPECT_EQ(ChipsetCommand(CS_SET_GPIO_B, CS_ITEM_1, &cell), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0xFFFF1008u); // bit 12
    cell = CODE_LEVEL_LOW;
    EXPECT_EQ(Accesses([&] {
                  EXPECT_EQ(ChipsetCommand(CS_SET_GPIO_A, CS_ITEM_FWP, &cell), STATUS_INVALID_PARAMETER);
              }),
              "");
    cell = 0x4003;
    EXPECT_EQ(ChipsetCommand(CS_SET_GPIO_C, CS_ITEM_FWP, &cell), STATUS_INVALID_PARAMETER);

    bridge().SetGpio(0x80);
    EXPECT_EQ(ChipsetCommand(CS_GET_GPIO_C, CS_ITEM_FWP, &cell), STATUS_SUCCESS);
    EXPECT_EQ(cell, static_cast<ULONG>(CODE_LEVEL_HIGH));
    EXPECT_EQ(ChipsetCommand(CS_GET_GPIO_A, CS_ITEM_4, &cell), STATUS_SUCCESS); // bit 5
    EXPECT_EQ(cell, static_cast<ULONG>(CODE_LEVEL_LOW));
    EXPECT_EQ(ChipsetCommand(0x1004, CS_ITEM_1, &cell), STATUS_INVALID_PARAMETER);
}

// A transfer stuck on a hung bus access holds the chipset's locks; waiters give up and report a failure,
// never a value.
TEST_F(ChipsetTest, LockTimeoutsAreFailuresWithNothingStored)
{
    machine_.bus().Stall(0xCD0, sim::Seconds(1000));
    PKTHREAD stuck = sim::StartThread("stuck", [] {
        ULONG cell = 0;
        EXPECT_EQ(SmbusSensorCommand(SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU, &cell), STATUS_SUCCESS);
    });
    sim::Sleep(sim::Ms(1));

    UCHAR level = 0;
    const sim::Ticks start = sim::Now();
    EXPECT_EQ(ChipsetGpioReadBit(0, &level), STATUS_TIMEOUT); // the primitive: success code, nothing read
    EXPECT_EQ(sim::Now() - start, sim::Seconds(60));

    ULONG cell = 0xDEADBEEF;
    EXPECT_EQ(ChipsetCommand(CS_GET_GPIO_A, CS_ITEM_1, &cell), STATUS_IO_TIMEOUT);
    EXPECT_EQ(cell, 0xDEADBEEFu);
    cell = CODE_LEVEL_HIGH;
    EXPECT_EQ(ChipsetCommand(CS_SET_GPIO_A, CS_ITEM_1, &cell), STATUS_IO_TIMEOUT); // nothing was driven
    cell = 0xDEADBEEF;
    const sim::Ticks before = sim::Now();
    EXPECT_EQ(SmbusSensorCommand(SMB_GET_CPU_TEMPERATURE, SMB_ITEM_CPU, &cell), STATUS_IO_TIMEOUT);
    EXPECT_EQ(sim::Now() - before, sim::Seconds(120));
    EXPECT_EQ(cell, 0xDEADBEEFu);
    sim::JoinThread(stuck);

    machine_.bus().Stall(0xC64, sim::Seconds(70));
    stuck = sim::StartThread("stuck", [] {
        UCHAR level = 0;
        ChipsetGpioReadBit(0, &level);
    });
    sim::Sleep(sim::Ms(1));
    EXPECT_EQ(SmbusSensorInitialize(), STATUS_IO_TIMEOUT);
    sim::JoinThread(stuck);
}

} // namespace
