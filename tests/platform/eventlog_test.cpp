// The simulated event log: error-log packets as the kernel lays them out and hands them out, and what the
// log makes of a written entry.
#include <cstring>
#include <string>
#include <vector>

#include "sim_test.h"

namespace {

constexpr uint32_t kTag = 0x72456F49; // "IoEr"
constexpr size_t kHeader = sizeof(IO_ERROR_LOG_PACKET);

const sim::MessageEntry kTable[] = {
    {0x402A0007, u"Added: %1 - link %2.\r\n"},
    {0xC02A000E, u"%2 fan error, value = %3 RPM (100%%).\r\n"},
    {0x802A0015, u"%2 fan warning.\r\nSecond line.\r\n"},
};

uint8_t* Bytes(void* p)
{
    return static_cast<uint8_t*>(p);
}

class EventLogTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        log().RegisterSource(&device_, "QUAV", "\\Device\\Quav0", kTable);
    }

    sim::EventLog& log() { return machine_.eventlog(); }

    // An entry laid out as drivers lay it out: the header, the dump data, then the strings.
    PIO_ERROR_LOG_PACKET Make(void* object, NTSTATUS code, std::vector<ULONG> dump,
                              std::vector<std::u16string> strings)
    {
        size_t size = kHeader + dump.size() * sizeof(ULONG);
        for (const auto& s : strings) {
            size += (s.size() + 1) * sizeof(WCHAR);
        }
        auto* p =
            static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(object, static_cast<UCHAR>(size)));
        if (p == nullptr) {
            return nullptr;
        }
        p->ErrorCode = code;
        p->DumpDataSize = static_cast<USHORT>(dump.size() * sizeof(ULONG));
        if (!dump.empty()) {
            std::memcpy(Bytes(p) + FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData), dump.data(), p->DumpDataSize);
        }
        p->NumberOfStrings = static_cast<USHORT>(strings.size());
        p->StringOffset = static_cast<USHORT>(kHeader + p->DumpDataSize);
        uint8_t* at = Bytes(p) + p->StringOffset;
        for (const auto& s : strings) {
            std::memcpy(at, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
            at += (s.size() + 1) * sizeof(WCHAR);
        }
        return p;
    }

    int device_ = 0; // stands in for a device object
    int other_ = 0;  // an object no source was registered for
};

TEST_F(EventLogTest, PacketHasTheKernelLayout)
{
    EXPECT_EQ(sizeof(IO_ERROR_LOG_PACKET), 0x30u);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, StringOffset), 0x06);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, ErrorCode), 0x0C);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, FinalStatus), 0x14);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, IoControlCode), 0x1C);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DeviceOffset), 0x20);
    EXPECT_EQ(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData), 0x28);
}

TEST_F(EventLogTest, AllocationLimitsFaultKnobAndPoolAccounting)
{
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, kHeader), nullptr);
    EXPECT_TRUE(OneReportContaining("NULL IoObject"));
    EXPECT_EQ(IoAllocateErrorLogEntry(&device_, kHeader - 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&device_, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);

    void* small = IoAllocateErrorLogEntry(&device_, kHeader);
    void* large = IoAllocateErrorLogEntry(&device_, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(Bytes(large), Bytes(large) + ERROR_LOG_MAXIMUM_SIZE),
              std::vector<uint8_t>(ERROR_LOG_MAXIMUM_SIZE, 0));
    EXPECT_EQ(machine_.pool().Outstanding(kTag), 2u);
    EXPECT_EQ(machine_.pool().OutstandingBytes(kTag), kHeader + ERROR_LOG_MAXIMUM_SIZE);
    EXPECT_EQ(machine_.pool().TypeOf(large), NonPagedPool);
    EXPECT_EQ(log().Outstanding(), 2u);

    log().FailAllocations(2);
    EXPECT_EQ(IoAllocateErrorLogEntry(&device_, kHeader), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&device_, kHeader), nullptr);
    void* third = IoAllocateErrorLogEntry(&device_, kHeader);
    EXPECT_NE(third, nullptr);
    log().FailAllocations(-1);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(IoAllocateErrorLogEntry(&device_, kHeader), nullptr);
    }
    log().FailAllocations(0);

    // A written packet belongs to the system, which frees it.
    for (void* p : {small, large, third}) {
        static_cast<PIO_ERROR_LOG_PACKET>(p)->ErrorCode = 0x402A0007;
        IoWriteErrorLogEntry(p);
    }
    EXPECT_EQ(machine_.pool().Outstanding(kTag), 0u);
    EXPECT_EQ(log().Outstanding(), 0u);
    EXPECT_EQ(log().Count(), 3u);
}

TEST_F(EventLogTest, WrittenEntryIsRenderedAndRecorded)
{
    sim::Sleep(sim::Ms(1500));
    IoWriteErrorLogEntry(Make(&device_, 0xC02A000E, {0x11223344, 0xAABBCCDD}, {u"CPU", u"0"}));
    IoWriteErrorLogEntry(Make(&device_, 0x402A0007, {}, {u"\\DosDevices\\Quav\u00C4"}));
    IoWriteErrorLogEntry(Make(&device_, 0x402A0007, {}, {}));
    IoWriteErrorLogEntry(Make(&device_, 0x402A0063, {}, {u"a", u"b"}));

    const std::vector<sim::EventRecord> r = log().Records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].time, sim::Ms(1500));
    EXPECT_EQ(r[0].source, "QUAV");
    EXPECT_EQ(r[0].id, 0xC02A000Eu);
    EXPECT_EQ(r[0].severity, sim::EventSeverity::Error);
    EXPECT_EQ(r[0].event_id, 14);
    EXPECT_EQ(r[0].message, "CPU fan error, value = 0 RPM (100%).\r\n");
    EXPECT_EQ(r[0].strings, (std::vector<std::string>{"CPU", "0"}));
    EXPECT_EQ(r[0].dump, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
    EXPECT_EQ(r[0].size, kHeader + 8 + 8 + 4);

    EXPECT_EQ(r[1].severity, sim::EventSeverity::Informational);
    EXPECT_EQ(r[1].message, "Added: \\Device\\Quav0 - link \\DosDevices\\Quav\u00C4.\r\n");
    EXPECT_EQ(r[2].message, "Added: \\Device\\Quav0 - link .\r\n"); // a missing string renders empty
    EXPECT_EQ(r[3].message, "The description for Event ID 99 from source QUAV cannot be found. "
                            "The following information was included with the event: a; b\r\n");

    log().Clear();
    EXPECT_EQ(log().Count(), 0u);
}

TEST_F(EventLogTest, MalformedEntriesAreReportedAndWhatFitsIsKept)
{
    auto* p = Make(&device_, 0x402A0007, {}, {});
    p->DumpDataSize = 12; // 8 bytes fit behind the header's first 0x28
    IoWriteErrorLogEntry(p);
    EXPECT_TRUE(OneReportContaining("dump data of 12 bytes runs past the entry's 48 bytes"));
    EXPECT_EQ(log().Records().back().dump.size(), 8u);

    p = Make(&device_, 0x402A0007, {}, {u"abc"});
    Bytes(p)[p->StringOffset + 6] = 'd'; // the terminator, overwritten: "abcd" up to the end
    IoWriteErrorLogEntry(p);
    EXPECT_TRUE(OneReportContaining("string 1 of 1 is not terminated within the entry"));
    EXPECT_EQ(log().Records().back().strings, std::vector<std::string>{"abcd"});

    p = Make(&device_, 0x402A0007, {}, {});
    p->NumberOfStrings = 1;
    p->StringOffset = 0x40;
    IoWriteErrorLogEntry(p);
    EXPECT_TRUE(OneReportContaining("strings at offset 64 lie outside the entry of 48 bytes"));

    p = Make(&device_, 0x402A0007, {}, {u"x"});
    p->StringOffset = 0x10;
    IoWriteErrorLogEntry(p);
    EXPECT_TRUE(OneReportContaining("overlap the packet header"));

    p = Make(&device_, 0x402A0007, {}, {});
    IoWriteErrorLogEntry(p);
    IoWriteErrorLogEntry(p);
    EXPECT_TRUE(OneReportContaining("written already"));
    IO_ERROR_LOG_PACKET own{};
    IoWriteErrorLogEntry(&own);
    EXPECT_TRUE(OneReportContaining("IoAllocateErrorLogEntry did not hand out"));

    IoWriteErrorLogEntry(Make(&other_, 0x402A0007, {}, {}));
    EXPECT_TRUE(OneReportContaining("no event source was registered for"));
    EXPECT_EQ(log().Records().back().source, "unknown");
    EXPECT_EQ(log().Count(), 6u); // the two refused writes left no record
}

TEST_F(EventLogTest, JsonLinesAndViewerText)
{
    sim::Sleep(123456789); // 12.3456789 s
    IoWriteErrorLogEntry(Make(&device_, 0x802A0015, {0x0D0C0B0A}, {u"CPU \"1\""}));
    sim::Sleep(sim::Seconds(100000)); // past a day: the text's time column keeps its width
    IoWriteErrorLogEntry(Make(&device_, 0x402A0007, {}, {u"L"}));

    EXPECT_EQ(
        log().JsonLines(),
        "{\"time_s\":12.3456789,\"source\":\"QUAV\",\"id\":\"0x802A0015\",\"severity\":\"warning\","
        "\"event_id\":21,\"message\":\"CPU \\\"1\\\" fan warning.\\r\\nSecond line.\",\"strings\":[\"CPU "
        "\\\"1\\\"\"],\"dump\":\"0a0b0c0d\",\"size\":68}\n"
        "{\"time_s\":100012.3456789,\"source\":\"QUAV\",\"id\":\"0x402A0007\",\"severity\":\"informational\","
        "\"event_id\":7,\"message\":\"Added: \\\\Device\\\\Quav0 - link L.\",\"strings\":[\"L\"],\"dump\":"
        "\"\",\"size\":52}\n");
    EXPECT_EQ(log().Text(), "  0:00:12.345  Warning      QUAV  21  CPU \"1\" fan warning. Second line.\n"
                            " 27:46:52.345  Information  QUAV  7  Added: \\Device\\Quav0 - link L.\n");
}

} // namespace
