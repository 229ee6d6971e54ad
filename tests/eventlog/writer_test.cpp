// The event writer against the machine's event log: the message an entry selects, how sensor, text and
// life-cycle entries are laid out, the requests that write nothing, and that every call gives back the
// scratch buffers and packets it took, whatever happens.
#include <cstring>
#include <string>
#include <vector>

#include "monitor/monitor_fixture.h"

namespace {

class WriterTest : public MonitorTest {
protected:
    // A record with its reserved words patterned and the fields past the dump set, so that a dump of the
    // wrong bytes or the wrong length shows.
    static SENSOR_RECORD Sensor(ULONG type, ULONG id, LONG value)
    {
        SENSOR_RECORD r;
        std::memset(&r, 0x5A, sizeof r);
        r.Reserved0[0] = 0x11223344;
        r.Reserved0[1] = 0x55667788;
        r.SensorType = type;
        r.SensorId = id;
        r.Value = value;
        r.CurrentValue = 0x0BADF00D;
        return r;
    }

    // The one event a sensor entry writes, as a summary: "" when nothing was written.
    std::string WriteSensor(ULONG level, ULONG code, ULONG type, ULONG id, LONG value)
    {
        machine_.eventlog().Clear();
        SENSOR_RECORD r = Sensor(type, id, value);
        WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, level, code, &r);
        const std::vector<std::string> s = EventSummaries();
        return s.empty() ? "" : s.size() == 1 ? s[0] : "more than one event";
    }

    void WriteText(ULONG level, std::u16string& text)
    {
        WriteEventLogEntry(nullptr, 0, level, 1, text.data()); // kind 0, code 1: a text entry
    }

    uint64_t ScratchAllocations() { return machine_.pool().Allocations(EVENT_SCRATCH_TAG); }
    uint64_t ScratchBytes() { return machine_.pool().AllocatedBytes(EVENT_SCRATCH_TAG); }

    // Scratch buffers and error-log packets still held.
    size_t Held()
    {
        return machine_.pool().Outstanding(EVENT_SCRATCH_TAG) +
               machine_.pool().Outstanding(sim::EventLog::kPacketTag) + machine_.eventlog().Outstanding();
    }
};

// A voltage warning or critical event says high or low by the rail's nominal: equal is low, one millivolt
// more is high. A normal reading has one message; a voltage event of another sensor keeps the combined one.
TEST_F(WriterTest, VoltageEventsSayHighOrLowAgainstTheRailsNominal)
{
    const struct {
        ULONG id;
        std::string name;
        LONG nominal;
    } rails[] = {{12, "VCCP", 1192}, {13, "1.8V", 1800}, {14, "3.3V", 3300},
                 {15, "5V", 5000},   {16, "12V", 12000}, {17, "AUX", 5000}};
    for (const auto& rail : rails) {
        const std::string at = rail.name + " " + std::to_string(rail.nominal);
        const std::string above = rail.name + " " + std::to_string(rail.nominal + 1);
        EXPECT_EQ(WriteSensor(1, 14, 8, rail.id, rail.nominal), "0x802A0019 " + at);
        EXPECT_EQ(WriteSensor(1, 14, 8, rail.id, rail.nominal + 1), "0x802A0018 " + above);
        EXPECT_EQ(WriteSensor(3, 14, 8, rail.id, rail.nominal), "0xC02A0014 " + at);
        EXPECT_EQ(WriteSensor(3, 14, 8, rail.id, rail.nominal + 1), "0xC02A0013 " + above);
        EXPECT_EQ(WriteSensor(0, 14, 8, rail.id, rail.nominal + 1), "0x402A0011 " + above);
    }
    EXPECT_EQ(WriteSensor(1, 14, 8, 7, 1000), "0x802A0017  ");
    EXPECT_EQ(WriteSensor(3, 14, 8, 19, 1000), "0xC02A0012  ");
}

TEST_F(WriterTest, SensorEntriesCarryTheRecordHeadAndTwoStrings)
{
    SENSOR_RECORD fan = Sensor(6, 8, 1350000);
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, &fan);
    std::vector<sim::EventRecord> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "QUAV");
    EXPECT_EQ(events[0].id, 0x402A000Du);
    EXPECT_EQ(events[0].size, 108u); // 72 + 2 * (11 + 7)
    EXPECT_EQ(events[0].string_offset, 64u);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"Rear Bottom", "1350000"}));
    ASSERT_EQ(events[0].dump.size(), 20u);
    EXPECT_EQ(std::memcmp(events[0].dump.data(), &fan, 20), 0);
    EXPECT_EQ(events[0].message, "Rear Bottom fan status becomes normal, value = 1350000 RPM.\r\n");

    EXPECT_EQ(WriteSensor(0, EVENT_CODE_TEMPERATURE, 7, 9, -5), "0x402A000F CPU -5");
    EXPECT_EQ(Events()[0].size, 82u);

    // No fan has id 9: the entry is still written, with both strings empty.
    machine_.eventlog().Clear();
    SENSOR_RECORD unknown = Sensor(6, 9, 1000);
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, &unknown);
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x402A000Du);
    EXPECT_EQ(events[0].size, 72u);
    EXPECT_EQ(events[0].strings, (std::vector<std::string>{"", ""}));
}

TEST_F(WriterTest, TextAndLifeCycleEntries)
{
    std::u16string longest(51, u'x');
    WriteText(0, longest);
    WriteText(3, longest); // the level does not matter for text
    std::vector<sim::EventRecord> events = Events();
    ASSERT_EQ(events.size(), 2u);
    for (const sim::EventRecord& e : events) {
        EXPECT_EQ(e.id, 0x402A0002u);
        EXPECT_EQ(e.size, 152u);
        EXPECT_EQ(e.string_offset, 44u);
        EXPECT_EQ(e.strings, (std::vector<std::string>{std::string(51, 'x')}));
    }
    std::u16string too_long(52, u'x'); // 154 bytes
    machine_.eventlog().Clear();
    WriteText(0, too_long);
    EXPECT_TRUE(Events().empty());

    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DEVICE_STARTED, nullptr);
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x402A0008u);
    EXPECT_EQ(events[0].message, "QUAV Device has been started.\r\n");
    EXPECT_EQ(events[0].size, 48u);
    EXPECT_EQ(events[0].string_offset, 44u);
    EXPECT_TRUE(events[0].strings.empty());
    EXPECT_TRUE(events[0].dump.empty());

    machine_.eventlog().Clear();
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DEVICE_STOPPED, nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 3, EVENT_CODE_DRIVER_INIT_FAILED, nullptr);
    EXPECT_EQ(EventSummaries(), (std::vector<std::string>{"0x402A0009", "0xC02A0005"}));
}

TEST_F(WriterTest, RequestsWithoutAMessageWriteNothing)
{
    EXPECT_EQ(WriteSensor(2, EVENT_CODE_FAN, 6, 7, 1000), "");
    EXPECT_EQ(WriteSensor(0, 11, 6, 7, 1000), ""); // a life-cycle code on a sensor entry
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DRIVER_INIT_FAILED, nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 1, EVENT_CODE_DEVICE_STARTED, nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_TEXT, nullptr);
    WriteEventLogEntry(nullptr, 3, 0, EVENT_CODE_DEVICE_STARTED, nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_TEXT, 0, EVENT_CODE_TEXT, nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, nullptr);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(Held(), 0u);

    // Without a remembered object only an entry naming its object is written.
    InitEventLog(nullptr);
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DEVICE_STARTED, nullptr);
    EXPECT_TRUE(Events().empty());
    WriteEventLogEntry(&driver_object_, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DEVICE_STARTED, nullptr);
    EXPECT_EQ(EventSummaries(), (std::vector<std::string>{"0x402A0008"}));
    EXPECT_EQ(Held(), 0u);
}

TEST_F(WriterTest, EveryCallGivesBackWhatItTook)
{
    std::u16string text(52, u'x');
    SENSOR_RECORD fan = Sensor(6, 7, 2000);
    const uint64_t before = ScratchAllocations();
    const uint64_t bytes = ScratchBytes();
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, &fan); // written
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 2, EVENT_CODE_FAN, &fan); // no message
    WriteText(0, text);                                                      // too long
    EXPECT_EQ(ScratchAllocations(), before + 6);
    EXPECT_EQ(ScratchBytes(), bytes + 6 * 32);
    EXPECT_EQ(Events().size(), 1u);
    EXPECT_EQ(Held(), 0u);

    // Either scratch buffer missing: the entry is dropped and the other buffer freed.
    for (int skip : {0, 1}) {
        machine_.eventlog().Clear();
        machine_.pool().FailAllocations(EVENT_SCRATCH_TAG, 1, skip);
        WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, &fan);
        EXPECT_TRUE(Events().empty()) << "skip " << skip;
        EXPECT_EQ(Held(), 0u) << "skip " << skip;
    }
    // The fault is used up: the next entry is written again.
    WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, 0, EVENT_CODE_FAN, &fan);
    EXPECT_EQ(EventSummaries(), (std::vector<std::string>{"0x402A000D Rear Upper 2000"}));

    // No packet to be had: the entry is dropped and both buffers freed.
    machine_.eventlog().Clear();
    machine_.eventlog().FailAllocations(1);
    const uint64_t scratch = ScratchAllocations();
    WriteEventLogEntry(nullptr, EVENT_KIND_LIFECYCLE, 0, EVENT_CODE_DEVICE_STARTED, nullptr);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(ScratchAllocations(), scratch + 2);
    EXPECT_EQ(machine_.eventlog().Outstanding(), 0u);
    EXPECT_EQ(Held(), 0u);
}

} // namespace
