// Sensor and control records against the emulated board: every read goes to the hardware through the
// command layers; nothing is mocked.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "control/records.h"
#include "driver_test.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"

namespace {

class RecordsTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(SioInitialize(), STATUS_SUCCESS);
        ASSERT_EQ(ChipsetInitialize(), STATUS_SUCCESS);
        ASSERT_EQ(SmbusSensorInitialize(), STATUS_SUCCESS);
        ext_ = {};
        LinkRecordTables(&ext_);
        const ULONG levels[BRIGHTNESS_LEVELS] = {0, 20, 40, 60, 80, 100, 40, 160, 200, 255};
        std::copy(std::begin(levels), std::end(levels), ext_.BrightnessLevel);
        ext_.PublishCurrent = 1; // publishing on
        g_DeviceExtension = &ext_;
    }

    void TearDown() override
    {
        g_DeviceExtension = nullptr;
        DriverTest::TearDown();
    }

    static CONTROL_RECORD Control(ULONG cls, ULONG index)
    {
        CONTROL_RECORD r{};
        r.Reserved0[0] = 0x11111111;
        r.Reserved0[1] = 0x22222222;
        r.ControlClass = cls;
        r.ControlIndex = index;
        r.Value = 0x5555;
        r.CurrentValue = 0x6666;
        return r;
    }

    static bool Same(const CONTROL_RECORD& a, const CONTROL_RECORD& b)
    {
        return std::memcmp(&a, &b, sizeof a) == 0;
    }

    // A thread whose command hangs on `port` (the Super I/O's or the GPIO port) for `hold`, holding the
    // command layer's lock: SioMutex or ChipsetMutex.
    PKTHREAD HangOn(uint16_t port, sim::Ticks hold)
    {
        machine_.bus().Stall(port, hold);
        PKTHREAD hung = sim::StartThread("hung", [port] {
            ULONG cell = 0;
            port == kGpioPort ? ChipsetCommand(CS_GET_GPIO_A, CS_ITEM_1, &cell)
                              : SioCommand(SIO_GET_TEMPERATURE, SIO_ITEM_TEMP_SYSTEM, &cell);
        });
        sim::Sleep(sim::Ms(1));
        return hung;
    }

    static constexpr uint16_t kGpioPort = 0x0C64; // chipset I/O base + 0x64
    static constexpr NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;

    DEVICE_EXTENSION ext_{};
};

TEST_F(RecordsTest, ReferenceTablesFollowTheLogicalAndClassOrders)
{
    EXPECT_EQ(ext_.Sensors[0], &ext_.SensorRecords[0]);
    EXPECT_EQ(ext_.Sensors[5], &ext_.SensorRecords[11]); // VRM is stored last
    EXPECT_EQ(ext_.Sensors[6], &ext_.SensorRecords[5]);
    EXPECT_EQ(ext_.Sensors[11], &ext_.SensorRecords[10]);
    EXPECT_EQ(ext_.ControlItems[0], &ext_.ControlRecords[0]);  // (1, 1)
    EXPECT_EQ(ext_.ControlItems[1], &ext_.ControlRecords[3]);  // (2, 2)
    EXPECT_EQ(ext_.ControlItems[13], &ext_.ControlRecords[1]); // (5, 6)
    EXPECT_EQ(ext_.ControlItems[14], &ext_.ControlRecords[2]); // (9, 18), the last item, is stored third
    // Linking writes the references only: the records stay as the allocation zeroed them.
    const auto* bytes = reinterpret_cast<const unsigned char*>(ext_.SensorRecords);
    EXPECT_TRUE(
        std::all_of(bytes, bytes + sizeof ext_.SensorRecords, [](unsigned char b) { return b == 0; }));
}

TEST_F(RecordsTest, InitSensorRecordLinksItsSlotAndReadsAllButFans)
{
    ext_.Thresholds[5] = {70, 5, 90, -10};
    SENSOR_RECORD vrm{};
    superio().SetTemperature(2, 51);
    ASSERT_EQ(InitSensorRecord(&ext_, &vrm, SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM), STATUS_SUCCESS);
    EXPECT_EQ(vrm.ThresholdSet, 5u);
    EXPECT_EQ(vrm.CriticalUpper, 90);
    EXPECT_EQ(vrm.CriticalLower, -10);
    EXPECT_EQ(vrm.Value, 51);
    EXPECT_EQ(vrm.CurrentValue, 51);

    for (ULONG id : {SENSOR_ID_REAR_UPPER, SENSOR_ID_REAR_BOTTOM}) {
        SENSOR_RECORD fan{};
        EXPECT_EQ(
            Accesses([&] { EXPECT_EQ(InitSensorRecord(&ext_, &fan, SENSOR_TYPE_FAN, id), STATUS_SUCCESS); }),
            "");
        EXPECT_EQ(fan.ThresholdSet, id - SENSOR_ID_REAR_UPPER);
        EXPECT_EQ(fan.Value, 0);
    }

    SENSOR_RECORD cpu{};
    bridge().SetCpuTemperature(-3);
    ASSERT_EQ(InitSensorRecord(&ext_, &cpu, SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU), STATUS_SUCCESS);
    EXPECT_EQ(cpu.Value, -3);
    EXPECT_EQ(cpu.ThresholdSet, 2u);
}

TEST_F(RecordsTest, FailingInitStillClearsTheBandStateAndKeepsTheIdentity)
{
    SENSOR_RECORD r;
    std::memset(&r, 0xA5, sizeof r);
    r.SensorType = SENSOR_TYPE_VOLTAGE;
    r.SensorId = 3;
    EXPECT_EQ(InitSensorRecord(&ext_, &r, SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VCCP), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.CurrentValue, 0);
    EXPECT_EQ(r.WarningUpperCount + r.WarningLowerCount + r.CriticalUpperCount + r.CriticalLowerCount, 0u);
    EXPECT_EQ(r.WarningActive + r.CriticalActive, 0);
    EXPECT_EQ(r.Reserved1, 0);
    EXPECT_EQ(r.Reserved2, 0u);
    EXPECT_EQ(r.SensorType, static_cast<ULONG>(SENSOR_TYPE_VOLTAGE));
    EXPECT_EQ(r.SensorId, 3u);
    EXPECT_EQ(static_cast<ULONG>(r.Value), 0xA5A5A5A5u);

    // A read that fails at init leaves Value 0 and returns the failure.
    superio().HoldBusy(-1);
    EXPECT_EQ(InitSensorRecord(&ext_, &r, SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12), STATUS_DEVICE_BUSY);
    EXPECT_EQ(r.Value, 0);
    EXPECT_EQ(r.SensorId, static_cast<ULONG>(SENSOR_ID_V12));
    superio().HoldBusy(0);
}

TEST_F(RecordsTest, ReadSensorRecordOnACallersCopy)
{
    SENSOR_RECORD r;
    std::memset(&r, 0x3C, sizeof r); // reserved words and ThresholdSet as a caller may send them
    r.SensorType = SENSOR_TYPE_FAN;
    r.SensorId = SENSOR_ID_REAR_BOTTOM;
    SENSOR_RECORD expected = r;
    board_.SetSensor("Rear Bottom", 1500);
    ASSERT_EQ(ReadSensorRecord(&r), STATUS_SUCCESS);
    EXPECT_NEAR(r.Value, 1500, 5);
    expected.Value = expected.CurrentValue = r.Value;
    EXPECT_EQ(std::memcmp(&r, &expected, sizeof r), 0);

    r.SensorId = SENSOR_ID_CPU; // a fan type with a temperature id
    EXPECT_EQ(ReadSensorRecord(&r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadSensorRecord(nullptr), STATUS_INVALID_PARAMETER);

    r.SensorType = SENSOR_TYPE_TEMPERATURE; // CPU on the SMBus; a failed transfer leaves the reading
    bridge().SetSensorPresent(false);
    EXPECT_EQ(ReadSensorRecord(&r), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Value, expected.Value);
}

TEST_F(RecordsTest, FanPwmGoesOnlyToFans)
{
    SENSOR_RECORD r{};
    r.SensorType = SENSOR_TYPE_FAN;
    r.SensorId = SENSOR_ID_REAR_BOTTOM;
    EXPECT_EQ(SetFanPwm(&r, 0x1A0), STATUS_SUCCESS);
    EXPECT_EQ(superio().Register(0x16), 0xA0);
    r.SensorId = SENSOR_ID_REAR_UPPER;
    EXPECT_EQ(SetFanPwm(&r, 0x40), STATUS_SUCCESS);
    EXPECT_EQ(superio().Register(0x15), 0x40);

    r.SensorId = SENSOR_ID_CPU;
    EXPECT_EQ(SetFanPwm(&r, 0x40), STATUS_INVALID_PARAMETER);
    for (ULONG type : {SENSOR_TYPE_TEMPERATURE, SENSOR_TYPE_VOLTAGE}) {
        r.SensorType = type;
        EXPECT_EQ(Accesses([&] { EXPECT_EQ(SetFanPwm(&r, 0x40), STATUS_SUCCESS); }), "");
    }
    for (ULONG type : {5u, 9u, 0xFFFFFFFFu}) {
        r.SensorType = type;
        EXPECT_EQ(SetFanPwm(&r, 0x40), STATUS_INVALID_PARAMETER);
    }
}

// Every value code is driven and read back: the set stores the code in both value fields (class 9 leaves
// them: a read shows the level the signal took), the read maps the hardware back to the code.
TEST_F(RecordsTest, ValueCodesDriveTheHardwareAndReadBack)
{
    const struct {
        ULONG cls, index, code;
        int hardware; // after the set: pin-pair select bits, GPIO port (from 0), PWM3; -1 not looked at
    } cases[] = {{1, 1, 0x8000, -1},    {1, 1, 0x8001, -1},    {1, 1, 0x8002, -1},     {1, 1, 0x8003, -1},
                 {1, 1, 0x8011, -1},    {1, 1, 0x8012, 2},     {2, 2, 0x8100, 0x1001}, {2, 3, 0x8102, 0x002},
                 {2, 4, 0x8101, 0x200}, {2, 5, 0x8101, 0x400}, {2, 5, 0x8103, 0},      {5, 6, 0x8200, 0},
                 {5, 6, 0x8207, 160},   {5, 6, 0x8209, 255},   {9, 18, 0x9000, 0x80},  {9, 18, 0x9001, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cls << "/" << c.index << " 0x" << std::hex << c.code);
        CONTROL_RECORD r = Control(c.cls, c.index);
        bridge().SetGpio(0);
        ASSERT_EQ(SetControlRecord(&r, c.code), STATUS_SUCCESS);
        EXPECT_EQ(r.Value, c.cls == 9 ? 0x5555u : c.code);
        EXPECT_EQ(r.CurrentValue, c.cls == 9 ? 0x6666u : c.code);
        const int hardware = c.cls == 1   ? superio().ConfigRegister(5, 0xC1) & 3
                             : c.cls == 5 ? superio().Register(0x17)
                                          : int(bridge().Gpio());
        EXPECT_TRUE(c.hardware < 0 || hardware == c.hardware) << hardware;
        r.Value = r.CurrentValue = 0;
        ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
        EXPECT_EQ(r.Value, c.code);
        EXPECT_EQ(r.CurrentValue, c.code);
    }
}

// Unknown items and codes the class does not take issue no command and leave the record as sent; so do
// the read-only classes 3 and 4. The class-2 code is checked before the index.
TEST_F(RecordsTest, UnknownItemsAndCodesIssueNoCommand)
{
    const struct {
        ULONG cls, index, code; // code 0: a read
        NTSTATUS status;
    } cases[] = {{3, 4, 0, STATUS_SUCCESS},
                 {3, 4, 0x8100, STATUS_NOT_SUPPORTED},
                 {4, 5, 0x8100, STATUS_NOT_SUPPORTED},
                 {3, 7, 0x8100, kInvalid},
                 {3, 6, 0, kInvalid}, // read-only classes have indices 2-5, as the signals
                 {6, 1, 0, kInvalid},
                 {6, 1, 0x8000, kInvalid},
                 {1, 2, 0, kInvalid},
                 {1, 2, 0x8000, kInvalid},
                 {1, 1, 0x8013, kInvalid},
                 {2, 1, 0x8100, kInvalid},
                 {2, 6, 0, kInvalid},
                 {2, 3, 0x8104, kInvalid},
                 {2, 9, 0x8200, kInvalid},
                 {2, 9, 0x8103, kInvalid},
                 {5, 6, 0x81FF, kInvalid},
                 {5, 6, 0x820A, kInvalid},
                 {5, 7, 0x8201, kInvalid},
                 {9, 18, 0x9002, kInvalid},
                 {9, 17, 0x9000, kInvalid}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cls << "/" << c.index << " 0x" << std::hex << c.code);
        CONTROL_RECORD r = Control(c.cls, c.index);
        const CONTROL_RECORD sent = r;
        EXPECT_EQ(Accesses([&] {
                      EXPECT_EQ(c.code == 0 ? ReadControlRecord(&r) : SetControlRecord(&r, c.code), c.status);
                  }),
                  "");
        EXPECT_TRUE(Same(r, sent));
    }
    EXPECT_EQ(ReadControlRecord(nullptr), kInvalid);
    EXPECT_EQ(SetControlRecord(nullptr, 0x8000), kInvalid);
    EXPECT_EQ(SetFanPwm(nullptr, 0x40), kInvalid);
}

// A failing command fails the operation with its status and leaves the record. A command hung on the port
// holds its layer's lock past the others' wait (SioMutex 120 s, ChipsetMutex 60 s): a class-2 pair gives up
// at its first signal, neither reading nor driving the second.
TEST_F(RecordsTest, FailedCommandsLeaveTheRecord)
{
    const struct {
        ULONG cls, index, code; // code 0: a read
        int wait;               // seconds; 60: a chipset item
    } cases[] = {{1, 1, 0, 120}, {1, 1, 0x8000, 120}, {5, 6, 0, 120}, {5, 6, 0x8200, 120},
                 {2, 4, 0, 60},  {2, 4, 0x8100, 60},  {9, 18, 0, 60}, {9, 18, 0x9000, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cls << "/" << c.index << " 0x" << std::hex << c.code);
        CONTROL_RECORD r = Control(c.cls, c.index);
        const CONTROL_RECORD sent = r;
        bridge().SetGpio(0);
        PKTHREAD hung = HangOn(c.wait == 60 ? kGpioPort : 0x295, sim::Seconds(c.wait + 10));
        const sim::Ticks start = sim::Now();
        EXPECT_EQ(c.code == 0 ? ReadControlRecord(&r) : SetControlRecord(&r, c.code), STATUS_IO_TIMEOUT);
        EXPECT_EQ(sim::Now() - start, sim::Seconds(c.wait)); // one wait: a pair's second signal is not tried
        EXPECT_TRUE(Same(r, sent));
        sim::JoinThread(hung);
        EXPECT_EQ(bridge().Gpio(), 0u);
    }

    // The first signal read, the second's wait times out: a thread waiting for ChipsetMutex when the
    // first read lets it go takes it and hangs on the port.
    CONTROL_RECORD r = Control(2, 2);
    const CONTROL_RECORD sent = r;
    machine_.bus().Stall(kGpioPort, sim::Ms(10));
    PKTHREAD holder = sim::StartThread("holder", [this] {
        sim::Sleep(sim::Ms(1));
        machine_.bus().Stall(kGpioPort, sim::Seconds(70));
        UCHAR level = 0;
        ChipsetGpioReadBit(0, &level);
    });
    EXPECT_EQ(ReadControlRecord(&r), STATUS_IO_TIMEOUT);
    EXPECT_TRUE(Same(r, sent));
    sim::JoinThread(holder);
}

// The stored records are filled from scratch and read once; a read that fails fails the initialization.
TEST_F(RecordsTest, InitControlRecordClearsAndReads)
{
    CONTROL_RECORD stored = Control(4, 2);
    stored.Reserved1 = 0x77777777;
    stored.Reserved2 = 0x88;
    ASSERT_EQ(InitControlRecord(&ext_, &stored, 4, 2), STATUS_SUCCESS);
    CONTROL_RECORD expected = Control(4, 2); // the leading reserved words are never written
    expected.Value = expected.CurrentValue = 0;
    EXPECT_TRUE(Same(stored, expected));

    superio().SetRegister(0x17, 41); // no configured level
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 5, 6), STATUS_UNSUCCESSFUL);
    // Both pins deselected and low: a pair code with no value code.
    ULONG pair = SIO_PAIR_LOW_LOW_OFF;
    ASSERT_EQ(SioCommand(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, &pair), STATUS_SUCCESS);
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 1, 1), STATUS_UNSUCCESSFUL);

    const CONTROL_RECORD untouched = stored;
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 6, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 2, 0xFFFFFFFF), STATUS_INVALID_PARAMETER); // -1, signed
    EXPECT_EQ(InitControlRecord(nullptr, &stored, 1, 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Same(stored, untouched));
}

TEST_F(RecordsTest, BrightnessReadsTheLowestLevelWithTheRawValue)
{
    CONTROL_RECORD r = Control(5, 6);
    superio().SetRegister(0x17, 40); // levels 2 and 6 share it: the lower wins
    ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
    EXPECT_EQ(r.Value, 0x8202u);

    const CONTROL_RECORD before = r;
    superio().SetRegister(0x17, 1); // no level, though the word after the table holds 1
    EXPECT_EQ(ReadControlRecord(&r), STATUS_UNSUCCESSFUL);
    // Before any start there is no table to map through.
    g_DeviceExtension = nullptr;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(ReadControlRecord(&r), STATUS_UNSUCCESSFUL); }), "");
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SetControlRecord(&r, 0x8201), STATUS_UNSUCCESSFUL); }), "");
    EXPECT_TRUE(Same(r, before));
}

} // namespace
