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
    EXPECT_EQ(ext_.ControlItems[14], &ext_.ControlRecords[2]); // (9, 18)
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

TEST_F(RecordsTest, PinPairValueCodes)
{
    CONTROL_RECORD r = Control(1, 1);
    ASSERT_EQ(SetControlRecord(&r, VALUE_PIN_PAIR_LOW_HIGH_A_OFF), STATUS_SUCCESS);
    EXPECT_EQ(r.Value, static_cast<ULONG>(VALUE_PIN_PAIR_LOW_HIGH_A_OFF));
    EXPECT_EQ(superio().ConfigRegister(5, 0xC1) & 3, 0x02);
    r.Value = r.CurrentValue = 0;
    ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
    EXPECT_EQ(r.CurrentValue, static_cast<ULONG>(VALUE_PIN_PAIR_LOW_HIGH_A_OFF));

    // Both pins deselected and low reads as a pair code with no value code.
    ULONG pair = SIO_PAIR_LOW_LOW_OFF;
    ASSERT_EQ(SioCommand(SIO_SET_PINS, SIO_ITEM_PIN_PAIR, &pair), STATUS_SUCCESS);
    const CONTROL_RECORD before = r;
    EXPECT_EQ(ReadControlRecord(&r), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Same(r, before));
    EXPECT_EQ(SetControlRecord(&r, 0x8013), STATUS_INVALID_PARAMETER);
}

TEST_F(RecordsTest, ChipsetSignalPairs)
{
    CONTROL_RECORD r = Control(2, 3); // item 2: bits 1 and 8
    bridge().SetGpio(0);
    ASSERT_EQ(SetControlRecord(&r, VALUE_SIGNALS_HIGH_LOW), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0x002u);
    ASSERT_EQ(SetControlRecord(&r, VALUE_SIGNALS_LOW_HIGH), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0x100u);
    bridge().SetGpio(0x102);
    ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
    EXPECT_EQ(r.Value, static_cast<ULONG>(VALUE_SIGNALS_HIGH_HIGH));

    // The code is checked before the index: no command is issued for either mistake.
    CONTROL_RECORD bad = Control(2, 9);
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(SetControlRecord(&bad, 0x8200), STATUS_INVALID_PARAMETER); }), "");
    EXPECT_EQ(
        Accesses([&] { EXPECT_EQ(SetControlRecord(&bad, VALUE_SIGNALS_LOW_LOW), STATUS_INVALID_PARAMETER); }),
        "");
}

TEST_F(RecordsTest, ReadOnlyClassesAndUnknownItems)
{
    CONTROL_RECORD r = Control(3, 4);
    const CONTROL_RECORD sent = r;
    EXPECT_EQ(Accesses([&] { EXPECT_EQ(ReadControlRecord(&r), STATUS_SUCCESS); }), "");
    EXPECT_TRUE(Same(r, sent));
    EXPECT_EQ(SetControlRecord(&r, 0x8100), STATUS_NOT_SUPPORTED);
    r.ControlIndex = 7;
    EXPECT_EQ(SetControlRecord(&r, 0x8100), STATUS_INVALID_PARAMETER);

    CONTROL_RECORD stored = Control(6, 1);
    const CONTROL_RECORD untouched = stored;
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 6, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(InitControlRecord(&ext_, &stored, 2, 0xFFFFFFFF), STATUS_INVALID_PARAMETER); // -1, signed
    EXPECT_TRUE(Same(stored, untouched));
    EXPECT_EQ(InitControlRecord(nullptr, &stored, 1, 1), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(InitControlRecord(&ext_, &stored, 4, 2), STATUS_SUCCESS);
    EXPECT_EQ(stored.ControlClass, 4u);
    EXPECT_EQ(stored.Value, 0u);
    EXPECT_EQ(stored.Reserved0[0], 0x11111111u); // never written
}

TEST_F(RecordsTest, BrightnessLevelsFromTheConfiguredTable)
{
    const ULONG levels[BRIGHTNESS_LEVELS] = {0, 20, 40, 60, 80, 100, 40, 160, 200, 255};
    std::copy(std::begin(levels), std::end(levels), ext_.BrightnessLevel);
    CONTROL_RECORD r = Control(5, 6);
    ASSERT_EQ(SetControlRecord(&r, VALUE_BRIGHTNESS_0 + 7), STATUS_SUCCESS);
    EXPECT_EQ(superio().Register(0x17), 160);
    EXPECT_EQ(SetControlRecord(&r, VALUE_BRIGHTNESS_0 + 10), STATUS_INVALID_PARAMETER);

    superio().SetRegister(0x17, 40); // levels 2 and 6 share it: the lower wins
    ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
    EXPECT_EQ(r.Value, VALUE_BRIGHTNESS_0 + 2u);

    superio().SetRegister(0x17, 41);
    const CONTROL_RECORD before = r;
    EXPECT_EQ(ReadControlRecord(&r), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Same(r, before));
}

TEST_F(RecordsTest, FwpModeSetLeavesTheRecordAndReadsBack)
{
    CONTROL_RECORD r = Control(9, 18);
    bridge().SetGpio(0xFFFF);
    ASSERT_EQ(SetControlRecord(&r, VALUE_FWP_LOW), STATUS_SUCCESS);
    EXPECT_EQ(bridge().Gpio(), 0xFF7Fu); // level low: bit 7 clear
    EXPECT_EQ(r.Value, 0x5555u);
    EXPECT_EQ(r.CurrentValue, 0x6666u);
    ASSERT_EQ(ReadControlRecord(&r), STATUS_SUCCESS);
    EXPECT_EQ(r.Value, static_cast<ULONG>(VALUE_FWP_LOW));
    EXPECT_EQ(SetControlRecord(&r, VALUE_FWP_LOW + 1), STATUS_INVALID_PARAMETER);
    r.ControlIndex = 17;
    EXPECT_EQ(SetControlRecord(&r, VALUE_FWP_HIGH), STATUS_INVALID_PARAMETER);
}

} // namespace
