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
};

TEST_F(ChipsetTest, PciReadsPickBytesAndWordsOutOfTheDword)
{
    // Widths by number; the dword at offset 0 is vendor | device << 16. A word is its upper half when
    // address bit 1 is set, whatever bit 0 says.
    const struct {
        ULONG width, address, value;
    } reads[] = {{0x1001, 0x80001003, 0x09},   {0x1002, 0x80001000, 0x1039},
                 {0x1002, 0x80001001, 0x1039}, {0x1002, 0x80001002, 0x0966},
                 {0x1002, 0x80001003, 0x0966}, {0x1003, 0x80001000, 0x09661039}};
    for (const auto& r : reads) {
        ULONG cell = 0;
        EXPECT_EQ(PciConfigRead(r.width, r.address, &cell), STATUS_SUCCESS);
        EXPECT_EQ(cell, r.value) << std::hex << r.width << " " << r.address;
    }
    ULONG dword = 0;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(PciConfigRead(0x1001, 0x80001003, &dword), STATUS_SUCCESS); }),
              "WCF8:80001003 RCFC ");
    EXPECT_EQ(
        Accesses([&] { EXPECT_EQ(PciConfigRead(0x1004, 0x80001000, &dword), STATUS_INVALID_PARAMETER); }),
        "");
}

TEST_F(ChipsetTest, IoBaseLocatesTheSmbusHostAndTheGpioPort)
{
    const struct {
        USHORT reg74;
        ULONG smbus, gpio;
    } bases[] = {{0x0ABC, 0x0AD0, 0x0A64}, {0x0BFF, 0x0BD0, 0x0B64}};
    for (const auto& b : bases) {
        bridge().SetIoBase(b.reg74);
        EXPECT_EQ(Accesses([] { ASSERT_EQ(ChipsetInitialize(), STATUS_SUCCESS); }),
                  "WCF8:80001000 RCFC WCF8:80001002 RCFC WCF8:80001074 RCFC ");
        EXPECT_EQ(g_ChipsetState.SmbusBasePort, b.smbus);
        EXPECT_EQ(g_ChipsetState.ChipsetGpioPort, b.gpio);
        EXPECT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS);
    }

    bridge().SetIds(0x1039, 0x0965);
    EXPECT_EQ(ChipsetInitialize(), STATUS_NO_SUCH_DEVICE);
    bridge().SetIds(0x8086, 0x0966);
    EXPECT_EQ(ChipsetInitialize(), STATUS_NO_SUCH_DEVICE);
}

// Transfers by their direction and protocol numbers, access by access: byte data carries its command;
// send byte loads the sensor's pointer with the byte sent, which travels in the command register; receive
// byte reads at the pointer and writes no command. Other numbers are refused before any start. Only the
// settle after the start and the accesses themselves take time.
TEST_F(ChipsetTest, TransfersByDirectionAndProtocol)
{
    bridge().SetSensorRegister(0x07, 0x9C);
    const struct {
        ULONG direction, protocol;
        UCHAR command;
        NTSTATUS status;
        const char* accesses;
        UCHAR data;
    } transfers[] = {
        {0x1001, 0x2002, 0x01, STATUS_SUCCESS,
         "WCD0:FF RCD2 WCD4:99 WCD5:01 RCD3 WCD3:12 RCD2 RCD0 RCD8 RCD2 WCD0:FF ", 45},
        {0x1002, 0x2002, 0x0D, STATUS_SUCCESS,
         "WCD0:FF RCD2 WCD4:98 WCD5:0D WCD8:5A RCD3 WCD3:12 RCD2 RCD0 WCD0:FF ", 0x5A},
        {0x1002, 0x2001, 0x07, STATUS_SUCCESS, "WCD0:FF RCD2 WCD4:98 WCD5:07 RCD3 WCD3:11 RCD2 RCD0 WCD0:FF ",
         0x5A},
        {0x1001, 0x2001, 0x33, STATUS_SUCCESS,
         "WCD0:FF RCD2 WCD4:99 RCD3 WCD3:11 RCD2 RCD0 RCD8 RCD2 WCD0:FF ", 0x9C},
        {0x1003, 0x2002, 0x01, STATUS_INVALID_PARAMETER, "WCD0:FF RCD2 ", 0x5A},
        {0x1001, 0x2003, 0x01, STATUS_INVALID_PARAMETER, "WCD0:FF RCD2 WCD4:99 ", 0x5A},
    };
    for (const auto& t : transfers) {
        UCHAR data = 0x5A;
        ASSERT_EQ(ChipsetLock(&g_ChipsetState.ChipsetMutex, CHIPSET_MUTEX_TIMEOUT), STATUS_SUCCESS);
        const sim::Ticks start = sim::Now();
        EXPECT_EQ(Accesses([&] {
                      EXPECT_EQ(SmbusTransaction(0x4C, t.direction, t.protocol, t.command, &data), t.status);
                  }),
                  t.accesses);
        EXPECT_EQ(sim::Now() - start, (t.status == STATUS_SUCCESS ? sim::Us(30) : 0) + BusTime(t.accesses));
        KeReleaseMutex(&g_ChipsetState.ChipsetMutex, FALSE);
        EXPECT_EQ(data, t.data);
    }
    EXPECT_EQ(bridge().SensorRegister(0x0D), 0x5A);
}

// Bits of the host's registers beyond the protocol: an unknown status bit fails nothing, bus state bit 2
// does not hold a start, the control register keeps bits 3 and 6 as read and no other, and a failure bit
// shown before the finished bit does not end the wait for it.
TEST_F(ChipsetTest, HostRegisterBitsBeyondTheProtocol)
{
    // Shows `bits` in every read of one host register.
    struct ExtraBits : sim::PortDevice {
        board::SouthBridge& bridge;
        uint8_t bits;
        ExtraBits(board::SouthBridge& b, uint8_t extra) : bridge(b), bits(extra) {}
        uint32_t PortRead(uint16_t port, unsigned width, const sim::PortContext& ctx) override
        {
            return bridge.PortRead(port, width, ctx) | bits;
        }
        void PortWrite(uint16_t port, unsigned width, uint32_t value, const sim::PortContext& ctx) override
        {
            bridge.PortWrite(port, width, value, ctx);
        }
    };
    const struct {
        const char* what;
        uint16_t port;
        uint8_t bits;
        NTSTATUS status;
        const char* control;
    } cases[] = {
        {"status bit 0", 0xCD0, 0x01, STATUS_SUCCESS, "WCD3:12 "},
        {"bus state bit 2", 0xCD2, 0x04, STATUS_SUCCESS, "WCD3:12 "},
        {"device error before the end", 0xCD0, 0x04, STATUS_UNSUCCESSFUL, "WCD3:12 "},
        {"control bits 2, 3 and 6", 0xCD3, 0x4C, STATUS_SUCCESS, "WCD3:5A "},
    };
    bridge().SetTransactionDelay(sim::Ms(2)); // unfinished at the first status read, finished at the second
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ExtraBits extra(bridge(), c.bits);
        machine_.bus().Unmap(c.port, 1, &bridge());
        machine_.bus().Map(c.port, 1, &extra);
        UCHAR data = 0;
        const std::string trace =
            Accesses([&] { EXPECT_EQ(SmbusReadByteData(0x4C, 0x01, &data), c.status); });
        machine_.bus().Unmap(c.port, 1, &extra);
        machine_.bus().Map(c.port, 1, &bridge());
        EXPECT_EQ(Count(trace, "RCD0"), 2u);
        EXPECT_EQ(Count(trace, c.control), 1u);
        EXPECT_EQ(data, c.status == STATUS_SUCCESS ? 45 : 0);
    }
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

// The sensor is checked at start by its identity (0xFF reads 0x01, 0xFE reads 0x47) and one more read of
// 0xFE: a failed read fails the start with its status, a wrong identity is no device.
TEST_F(ChipsetTest, SensorInitializationEndsAtItsFirstFailure)
{
    const struct {
        const char* what;
        std::function<void(board::SouthBridge&)> fault;
        NTSTATUS status;
    } cases[] = {
        {"first identity read", [](auto& b) { b.HangTransactions(1); }, STATUS_UNSUCCESSFUL},
        {"second identity read", [](auto& b) { b.HangTransactions(1, 1); }, STATUS_UNSUCCESSFUL},
        {"read after the identity", [](auto& b) { b.HangTransactions(1, 2); }, STATUS_UNSUCCESSFUL},
        {"sensor absent", [](auto& b) { b.SetSensorPresent(false); }, STATUS_UNSUCCESSFUL},
        {"first identity", [](auto& b) { b.SetSensorRegister(0xFF, 0x02); }, STATUS_NO_SUCH_DEVICE},
        {"second identity", [](auto& b) { b.SetSensorRegister(0xFE, 0x48); }, STATUS_NO_SUCH_DEVICE},
    };
    for (const auto& c : cases) {
        c.fault(bridge());
        EXPECT_EQ(SmbusSensorInitialize(), c.status) << c.what;
        bridge().SetSensorPresent(true);
        bridge().SetSensorRegister(0xFF, 0x01);
        bridge().SetSensorRegister(0xFE, 0x47);
        EXPECT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS) << c.what;
    }
}

// Every sensor command by its group number: the register it reads, the byte zero-extended (only the CPU
// temperature is sign and magnitude), or writes with the cell's low byte.
TEST_F(ChipsetTest, SensorCommandsByNumber)
{
    const struct {
        ULONG group;
        UCHAR reg, raw;
        ULONG cell, after;
    } commands[] = {
        {0x1001, 0x01, 0x2D, 0, 45},
        {0x1001, 0x01, 0x85, 0, static_cast<ULONG>(-5)},
        {0x1001, 0x01, 0xFF, 0, static_cast<ULONG>(-127)},
        {0x1001, 0x01, 0x7F, 0, 127},
        {0x1001, 0x01, 0x80, 0, 0},
        {0x1002, 0x08, 0x85, 0, 0x85},
        {0x1003, 0x07, 0xFF, 0, 0xFF},
        {0x2001, 0x0E, 0x35, 0x1235, 0x1235},
        {0x2002, 0x0D, 0xAB, 0xAB, 0xAB},
    };
    for (const auto& c : commands) {
        bridge().SetSensorRegister(c.reg, c.group >= 0x2001 ? 0 : c.raw);
        ULONG cell = c.cell;
        EXPECT_EQ(SmbusSensorCommand(c.group, 0, &cell), STATUS_SUCCESS) << std::hex << c.group;
        EXPECT_EQ(cell, c.after) << std::hex << c.group;
        EXPECT_EQ(bridge().SensorRegister(c.reg), c.raw) << std::hex << c.group;
    }
    ULONG cell = 0x1234;
    EXPECT_EQ(SmbusSensorCommand(0x3001, 0, &cell), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(cell, 0x1234u);
}

// Every signal item by its group and item numbers: the one GPIO bit of the 32-bit port it reads and
// drives. The primitives take the levels 1 (clear) and 2 (set), for bits 0-14 only.
TEST_F(ChipsetTest, GpioBitsAndCommands)
{
    const struct {
        ULONG family, item;
        int bit;
    } items[] = {{1, 0x8001, 0}, {1, 0x8002, 1}, {1, 0x8003, 3},  {1, 0x8004, 5}, {2, 0x8001, 12},
                 {2, 0x8002, 8}, {2, 0x8003, 9}, {2, 0x8004, 10}, {3, 0x8005, 7}};
    for (const auto& it : items) {
        SCOPED_TRACE(it.bit);
        const ULONG mask = 1u << it.bit;
        for (const ULONG port : {mask, ~mask}) {
            bridge().SetGpio(port);
            ULONG cell = 0;
            EXPECT_EQ(ChipsetCommand(0x1000 + it.family, it.item, &cell), STATUS_SUCCESS);
            EXPECT_EQ(cell, port == mask ? 0x4002u : 0x4001u);
            cell = port == mask ? 0x4001 : 0x4002; // and drive it the other way
            EXPECT_EQ(ChipsetCommand(0x2000 + it.family, it.item, &cell), STATUS_SUCCESS);
            EXPECT_EQ(bridge().Gpio(), port ^ mask);
        }
    }

    bridge().SetGpio(0xFFFF0000);
    UCHAR level = 0;
    EXPECT_EQ(ChipsetGpioWriteBit(3, 2), STATUS_SUCCESS);
    EXPECT_EQ(ChipsetGpioWriteBit(14, 2), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0xFFFF4008u);
    EXPECT_EQ(ChipsetGpioReadBit(14, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(ChipsetGpioWriteBit(3, 1), STATUS_SUCCESS);
    EXPECT_EQ(ChipsetGpioReadBit(3, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(bridge().Gpio(), 0xFFFF4000u);
    EXPECT_EQ(ChipsetGpioReadBit(15, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Accesses([] { EXPECT_EQ(ChipsetGpioWriteBit(15, 2), STATUS_INVALID_PARAMETER); }), "");
    EXPECT_EQ(Accesses([] { EXPECT_EQ(ChipsetGpioWriteBit(3, 3), STATUS_INVALID_PARAMETER); }), "");

    // A wrong family, item, code or group: refused, the cell kept, the port untouched.
    const struct {
        ULONG group, item, cell;
    } refused[] = {{0x2001, 0x8005, 0x4001},
                   {0x2003, 0x8005, 0x4003},
                   {0x1003, 0x8001, 0x1234},
                   {0x1004, 0x8001, 0x1234}};
    for (const auto& r : refused) {
        ULONG cell = r.cell;
        EXPECT_EQ(
            Accesses([&] { EXPECT_EQ(ChipsetCommand(r.group, r.item, &cell), STATUS_INVALID_PARAMETER); }),
            "");
        EXPECT_EQ(cell, r.cell);
    }
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
    EXPECT_EQ(SmbusWriteByteData(0x4C, 0x0D, 0x21), STATUS_TIMEOUT); // a success code: nothing written
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
