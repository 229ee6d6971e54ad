// The registry configuration: every value reaches its field, absent or mistyped values read as 0, and
// current values are written back.
#include <cstring>
#include <vector>

#include "monitor/config.h"
#include "sim_test.h"

namespace {

const std::string kService = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";
const std::string kParameters = kService + "\\Parameters";
const std::string kFanControl = kParameters + "\\FanControl";

class ConfigTest : public SimTest {
protected:
    sim::Registry& registry() { return machine_.registry(); }

    DEVICE_EXTENSION Load()
    {
        DEVICE_EXTENSION ext;
        std::memset(&ext, 0xEE, sizeof ext); // every field must be written
        LoadConfiguration(&ext);
        return ext;
    }
};

TEST_F(ConfigTest, EveryValueReachesItsField)
{
    // Distinct values everywhere, so a name or slot mixed up shows.
    registry().ImportReg(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters]
"POLLING_INTERVAL"=dword:0000000a
"CURRENT_STAGE"=dword:00000001
"WARNING_EVENTLOG"=dword:00000002
"CRITICAL_EVENTLOG"=dword:00000003
"FWP_MODE"=dword:00000007

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters\LED]
"BRIGHTNESS_LVL_0"=dword:00000010
"BRIGHTNESS_LVL_9"=dword:000000ff

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters\FanControl]
"FANCNTL_INIT"=dword:00000001
"FANCNTL_RU_MODE"=dword:00008002
"FANCNTL_RU_CURRENT_STAGE"=dword:00000003
"FANCNTL_RU_PWM_0"=dword:00000020
"FANCNTL_RU_PWM_9"=dword:000000f0
"FANCNTL_RU_TEMP_CHECK_POINT_0"=dword:0000001e
"FANCNTL_RU_TEMP_CHECK_POINT_8"=dword:00000046
"FANCNTL_RU_TEMP_CUSHION"=dword:00000003
"FANCNTL_RB_MODE"=dword:00000003
"FANCNTL_RB_PWM_5"=dword:00000090
"FANCNTL_RB_TEMP_CHECK_POINT_4"=dword:00000032
"FANCNTL_RB_TEMP_CUSHION"=dword:00000004
"FANSPEED_RU_WARN_THD_LOWER"=dword:000003e8
"FANSPEED_RB_CRIT_THD_LOWER"=dword:000001f4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters\THERMAL]
"THERMAL_CPU_WARN_THD_LOWER"=dword:ffffffff
"THERMAL_VRM_CRIT_THD_UPPER"=dword:0000005a
"thermal_backplane_warn_thd_upper"=dword:00000037

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters\VOLTAGE]
"VOLTAGE_18V_WARN_THD_UPPER"=dword:00000744
"VOLTAGE_AUX_CRIT_THD_LOWER"=dword:00001194
)");
    const DEVICE_EXTENSION ext = Load();
    EXPECT_EQ(ext.PollInterval, -100000000LL);
    EXPECT_EQ(ext.PublishCurrent, 1u);
    EXPECT_EQ(ext.WarningEventLog, 2u);
    EXPECT_EQ(ext.CriticalEventLog, 3u);
    EXPECT_EQ(ext.FwpMode, 7u);
    EXPECT_EQ(ext.BrightnessLevel[0], 0x10u);
    EXPECT_EQ(ext.BrightnessLevel[3], 0u); // absent
    EXPECT_EQ(ext.BrightnessLevel[9], 0xFFu);
    EXPECT_EQ(ext.FanControlInit, 1u);

    const FAN_CONTROL_PROFILE& ru = ext.FanProfile[0];
    EXPECT_EQ(ru.Mode, 0x8002u);
    EXPECT_EQ(ru.CurrentStage, 3u);
    EXPECT_EQ(ru.CurrentTemp, 0);
    EXPECT_EQ(ru.Pwm[0], 0x20u);
    EXPECT_EQ(ru.Pwm[9], 0xF0u);
    EXPECT_EQ(ru.TempCheckPoint[0], 30);
    EXPECT_EQ(ru.TempCheckPoint[8], 70);
    EXPECT_EQ(ru.TempCushion, 3);
    const FAN_CONTROL_PROFILE& rb = ext.FanProfile[1];
    EXPECT_EQ(rb.Mode, 3u);
    EXPECT_EQ(rb.Pwm[5], 0x90u);
    EXPECT_EQ(rb.TempCheckPoint[4], 50);
    EXPECT_EQ(rb.TempCushion, 4);

    EXPECT_EQ(ext.Thresholds[0].WarnLower, 1000);
    EXPECT_EQ(ext.Thresholds[1].CritLower, 500);
    EXPECT_EQ(ext.Thresholds[2].WarnLower, -1);    // the REG_DWORD's bits, signed
    EXPECT_EQ(ext.Thresholds[4].WarnUpper, 55);    // names are case-insensitive
    EXPECT_EQ(ext.Thresholds[5].CritUpper, 90);    // VRM is slot 5
    EXPECT_EQ(ext.Thresholds[7].WarnUpper, 1860);  // 1.8V
    EXPECT_EQ(ext.Thresholds[11].CritLower, 4500); // AUX
    EXPECT_EQ(ext.Thresholds[3].CritUpper, 0);     // absent
}

TEST_F(ConfigTest, AbsentKeysAndMistypedValuesReadAsZero)
{
    registry().CreateKey(kParameters);
    registry().SetString(kParameters, "POLLING_INTERVAL", "10");
    const DEVICE_EXTENSION ext = Load();
    EXPECT_EQ(ext.PollInterval, 0);
    EXPECT_EQ(ext.FanControlInit, 0u);
    for (const FAN_CONTROL_PROFILE& p : ext.FanProfile) {
        const FAN_CONTROL_PROFILE zero{};
        EXPECT_EQ(std::memcmp(&p, &zero, sizeof p), 0);
    }

    ULONG value = 0xAAAA;
    EXPECT_EQ(ReadRegistryDword(QUAV_PARAMETERS_KEY, WSTR("FWP_MODE"), &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
}

// Only a REG_DWORD of four bytes is a value; anything else of the same name reads as absent, whatever
// its length, and nothing of it reaches the 4-byte cell.
TEST_F(ConfigTest, ValuesOfAnotherTypeOrSizeReadAsAbsent)
{
    struct Case {
        const char* name;
        ULONG type;
        std::vector<uint8_t> data;
        NTSTATUS status;
        ULONG value;
    };
    const Case cases[] = {
        {"a DWORD", REG_DWORD, {0x0A, 0, 0, 0x80}, STATUS_SUCCESS, 0x8000000Au},
        {"a string", REG_SZ, {'1', 0, '0', 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"an expandable string", REG_EXPAND_SZ, {'1', 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"a list of strings", REG_MULTI_SZ, {'1', 0, 0, 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"four binary bytes", REG_BINARY, {0x0A, 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"a big-endian DWORD", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 0x0A}, STATUS_UNSUCCESSFUL, 0},
        {"a QWORD", REG_QWORD, {0x0A, 0, 0, 0, 0, 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"a DWORD of two bytes", REG_DWORD, {0x0A, 0}, STATUS_UNSUCCESSFUL, 0},
        {"a DWORD of eight bytes", REG_DWORD, {0x0A, 0, 0, 0, 0, 0, 0, 0}, STATUS_UNSUCCESSFUL, 0},
        {"an empty DWORD", REG_DWORD, {}, STATUS_UNSUCCESSFUL, 0},
    };
    registry().CreateKey(kParameters);
    for (const Case& c : cases) {
        registry().SetValue(kParameters, "POLLING_INTERVAL", c.type, c.data);
        ULONG value = 0xAAAA;
        EXPECT_EQ(ReadRegistryDword(QUAV_PARAMETERS_KEY, WSTR("POLLING_INTERVAL"), &value), c.status)
            << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        EXPECT_EQ(Load().PollInterval, -static_cast<LONGLONG>(c.value) * 10000000) << c.name;
    }
}

TEST_F(ConfigTest, LargestIntervalStaysA64BitProduct)
{
    registry().CreateKey(kParameters);
    registry().SetDword(kParameters, "POLLING_INTERVAL", 0xFFFFFFFF);
    EXPECT_EQ(Load().PollInterval, -42949672950000000LL);
}

TEST_F(ConfigTest, WritesPublishDwordsAndReportFailures)
{
    const std::string fan = kService + "\\Current\\FAN";
    registry().CreateKey(fan);
    const PCWSTR key = QUAV_SERVICE_KEY WSTR("\\Current\\FAN");
    EXPECT_EQ(WriteRegistryDword(key, WSTR("FAN_REAR_UPPER"), 2400), STATUS_SUCCESS);
    EXPECT_EQ(registry().GetDword(fan, "FAN_REAR_UPPER"), 2400u);
    EXPECT_EQ(WriteRegistryDword(key, WSTR("CPU"), static_cast<ULONG>(-5)), STATUS_SUCCESS);
    EXPECT_EQ(registry().GetDword(fan, "CPU"), 0xFFFFFFFBu);

    registry().FailWrites(1);
    EXPECT_EQ(WriteRegistryDword(key, WSTR("FAN_REAR_UPPER"), 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(registry().GetDword(fan, "FAN_REAR_UPPER"), 2400u);
}

} // namespace
