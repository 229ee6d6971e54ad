// The driver's message table as the build compiles it from driver/eventlog/quavmsg.mc: the ids and texts
// the event viewer shows are written out here, so a changed message or a generator that mangles one fails.
#include <cstring>
#include <iterator>
#include <string>

#include "sim_test.h"

#include "quavmsg.h"
#include "quavmsg_table.h"

namespace {

struct Expected {
    uint32_t id;
    NTSTATUS symbol; // the header's name for it
    const char* text;
};

const Expected kExpected[] = {
    {0x402A0001, QUAV_MSG_UNKNOWN, "Unknown Event logging."},
    {0x402A0002, QUAV_MSG_TEXT, "%2"},
    {0x402A0003, QUAV_MSG_LOGGING_ENABLED, "Event logging enabled for QUAV Driver."},
    {0x402A0004, QUAV_MSG_DRIVER_INITIALIZED, "QUAV Driver has successfully initialized."},
    {0xC02A0005, QUAV_MSG_DRIVER_INIT_FAILED, "QUAV Driver had fail initialized."},
    {0x402A0006, QUAV_MSG_DRIVER_UNLOADED, "QUAV Driver has unloaded."},
    {0x402A0007, QUAV_MSG_DEVICE_ADDED, "QUAV Device has been added: %1 - Symbolic link name: %2."},
    {0x402A0008, QUAV_MSG_DEVICE_STARTED, "QUAV Device has been started."},
    {0x402A0009, QUAV_MSG_DEVICE_STOPPED, "QUAV Device has been stopped."},
    {0x402A000A, QUAV_MSG_DEVICE_REMOVING, "QUAV Device is being removed: %1."},
    {0x402A000B, QUAV_MSG_HANDLE_OPENED, "Opening handle to %1."},
    {0x402A000C, QUAV_MSG_HANDLE_CLOSED, "Closing handle to %1."},
    {0x402A000D, QUAV_MSG_FAN_NORMAL, "%2 fan status becomes normal, value = %3 RPM."},
    {0xC02A000E, QUAV_MSG_FAN_ERROR, "%2 fan status become error, value = %3 RPM."},
    {0x402A000F, QUAV_MSG_TEMPERATURE_NORMAL, "%2 temperature becomes normal, value = %3 degrees C."},
    {0xC02A0010, QUAV_MSG_TEMPERATURE_ERROR, "%2 temperature becomes too high, value = %3 degrees C."},
    {0x402A0011, QUAV_MSG_VOLTAGE_NORMAL, "%2 status becomes normal, value = %3 mV."},
    {0xC02A0012, QUAV_MSG_VOLTAGE_ERROR, "%2 status becomes too high or too low, value = %3 mV."},
    {0xC02A0013, QUAV_MSG_VOLTAGE_ERROR_HIGH, "%2 status becomes too high, value = %3 mV."},
    {0xC02A0014, QUAV_MSG_VOLTAGE_ERROR_LOW, "%2 status becomes too low, value = %3 mV."},
    {0x802A0015, QUAV_MSG_FAN_WARNING, "%2 fan status is warning, value = %3 RPM."},
    {0x802A0016, QUAV_MSG_TEMPERATURE_WARNING, "%2 temperature is warning, value = %3 degrees C."},
    {0x802A0017, QUAV_MSG_VOLTAGE_WARNING,
     "%2 status is warning for exceeding the upper or low threshold, value = %3 mV."},
    {0x802A0018, QUAV_MSG_VOLTAGE_WARNING_HIGH,
     "%2 status is warning for exceeding the upper threshold, value = %3 mV."},
    {0x802A0019, QUAV_MSG_VOLTAGE_WARNING_LOW,
     "%2 status is warning for exceeding the low threshold, value = %3 mV."},
};

TEST(MessageTable, HoldsEveryMessageWithItsIdAndText)
{
    ASSERT_EQ(kQuavMessages.size(), std::size(kExpected));
    for (size_t i = 0; i < kQuavMessages.size(); i++) {
        const Expected& e = kExpected[i];
        SCOPED_TRACE(e.text);
        EXPECT_EQ(kQuavMessages[i].id, e.id);
        EXPECT_EQ(static_cast<uint32_t>(e.symbol), e.id);
        // Each line of a message ends in CR/LF, whatever line ends the source was checked out with.
        EXPECT_EQ(sim::Utf8FromUtf16(kQuavMessages[i].text), std::string(e.text) + "\r\n");
    }
}

class MessageTableLogTest : public SimTest {};

// The table as the driver's entries meet it: %1 is the device's name, %2 and %3 its strings.
TEST_F(MessageTableLogTest, RendersTheDriversEntries)
{
    int device = 0;
    machine_.eventlog().RegisterSource(&device, "QUAV", "\\Device\\Quav0", kQuavMessages);
    const std::u16string strings[] = {u"CPU", u"0"};
    const UCHAR size = sizeof(IO_ERROR_LOG_PACKET) + 2 * sizeof(u"CPU");
    auto* p = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&device, size));
    ASSERT_NE(p, nullptr);
    p->ErrorCode = QUAV_MSG_FAN_ERROR;
    p->NumberOfStrings = 2;
    p->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    auto* at = reinterpret_cast<uint8_t*>(p) + p->StringOffset;
    for (const auto& s : strings) {
        std::memcpy(at, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
        at += (s.size() + 1) * sizeof(WCHAR);
    }
    IoWriteErrorLogEntry(p);

    auto* q =
        static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&device, sizeof(IO_ERROR_LOG_PACKET)));
    ASSERT_NE(q, nullptr);
    q->ErrorCode = QUAV_MSG_DEVICE_REMOVING;
    IoWriteErrorLogEntry(q);

    EXPECT_EQ(machine_.eventlog().Text(),
              "  0:00:00.000  Error        QUAV  14  CPU fan status become error, value = 0 RPM.\n"
              "  0:00:00.000  Information  QUAV  10  QUAV Device is being removed: \\Device\\Quav0.\n");
}

} // namespace
