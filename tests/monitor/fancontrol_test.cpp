// Fan speed control, one pass at a time on readings the test sets: how the stage moves and when the PWM
// output is written to the emulated chip, controller mode, and what a pass publishes.
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>

#include "control/records.h"
#include "hardware/superio.h"
#include "monitor/monitor_fixture.h"

namespace {

constexpr uint8_t kRearUpperPwm = 0x15;
constexpr uint8_t kRearBottomPwm = 0x16;
constexpr uint8_t kUntouched = 0xEE; // no profile here has a PWM value with this low byte

class FanControlTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        ASSERT_EQ(SioInitialize(), STATUS_SUCCESS);
        LinkRecordTables(&ext_);
        ext_.Sensors[0]->SensorType = SENSOR_TYPE_FAN;
        ext_.Sensors[0]->SensorId = SENSOR_ID_REAR_UPPER;
        ext_.Sensors[1]->SensorType = SENSOR_TYPE_FAN;
        ext_.Sensors[1]->SensorId = SENSOR_ID_REAR_BOTTOM;
        // Both fans idle at stage 0 below their first check point unless a test says otherwise.
        for (FAN_CONTROL_PROFILE& p : ext_.FanProfile) {
            for (ULONG k = 0; k < FAN_CHECK_POINTS; k++) {
                p.TempCheckPoint[k] = 30 + 5 * static_cast<LONG>(k);
            }
            for (ULONG s = 0; s < FAN_STAGES; s++) {
                p.Pwm[s] = 0x1001 + 0x10 * s; // the high bits must not reach the chip
            }
        }
    }

    FAN_CONTROL_PROFILE& Ru() { return ext_.FanProfile[0]; }
    FAN_CONTROL_PROFILE& Rb() { return ext_.FanProfile[1]; }

    void Temperatures(LONG cpu, LONG system, LONG backplane, LONG vrm)
    {
        ext_.Sensors[2]->CurrentValue = cpu;
        ext_.Sensors[3]->CurrentValue = system;
        ext_.Sensors[4]->CurrentValue = backplane;
        ext_.Sensors[5]->CurrentValue = vrm;
    }

    // One pass with both PWM registers preset to a value no pass writes, so that a write shows.
    void Pass()
    {
        superio().SetRegister(kRearUpperPwm, kUntouched);
        superio().SetRegister(kRearBottomPwm, kUntouched);
        ControlFanSpeed(&ext_);
    }

    // A pass's port accesses: none when the stage stays.
    std::string QuietPass()
    {
        return Accesses([&] { ControlFanSpeed(&ext_); });
    }

    // A pass, then Rear Upper's stage and what its PWM register got: "4/41", or "3/-" for no write.
    std::string RuPass()
    {
        Pass();
        char pwm[8] = "-";
        if (RuPwm() != kUntouched) {
            std::snprintf(pwm, sizeof pwm, "%02X", RuPwm());
        }
        return std::to_string(Ru().CurrentStage) + "/" + pwm;
    }

    uint8_t RuPwm() { return superio().Register(kRearUpperPwm); }
    uint8_t RbPwm() { return superio().Register(kRearBottomPwm); }
};

TEST_F(FanControlTest, StageMovesOneStepOnTheHottestSelectedSource)
{
    Ru().Mode = 0x4000 | FAN_MODE_CPU | FAN_MODE_BACKPLANE; // bit 14 is not the controller's bit 15
    Ru().CurrentStage = 3;
    Ru().TempCheckPoint[2] = 45;
    Ru().TempCheckPoint[3] = 50;
    Ru().TempCushion = 3;
    Temperatures(40, 90, 50, 99);
    EXPECT_EQ(RuPass(), "4/41"); // the low byte of Pwm[4]
    EXPECT_EQ(Ru().CurrentTemp, 50);
    EXPECT_EQ(RbPwm(), kUntouched);

    // Down only below the check point less the cushion.
    Ru().CurrentStage = 3;
    Temperatures(42, 0, 0, 0);
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Ru().CurrentStage, 3u);
    Temperatures(41, 0, 0, 0);
    EXPECT_EQ(RuPass(), "2/21");

    // Stage 0 has nowhere to fall; negative readings control as 0.
    Ru().CurrentStage = 0;
    Temperatures(-10, 0, -7, 0);
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Ru().CurrentStage, 0u);
    EXPECT_EQ(Ru().CurrentTemp, 0);
}

TEST_F(FanControlTest, StageClimbsOneStepPerPassAndWritesEachStagesPwm)
{
    Ru().Mode = FAN_MODE_VRM;
    Ru().CurrentStage = 3;
    Temperatures(0, 0, 0, 99);
    for (ULONG stage = 4; stage <= 9; stage++) {
        EXPECT_EQ(RuPass(), std::to_string(stage) + "/" + std::to_string(stage) + "1");
    }
    EXPECT_EQ(QuietPass(), "");

    // Everything zero, no source selected: 0 >= 0 at every check point, so both fans climb to the
    // top, writing PWM 0 at each step.
    ext_.FanProfile[0] = {};
    ext_.FanProfile[1] = {};
    for (ULONG stage = 1; stage <= 9; stage++) {
        EXPECT_EQ(RuPass(), std::to_string(stage) + "/00");
        EXPECT_EQ(Rb().CurrentStage, stage);
        EXPECT_EQ(RbPwm(), 0);
    }
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Ru().CurrentStage, 9u);
}

TEST_F(FanControlTest, LoadedStageAboveNineJumpsAndCushionArithmeticWraps)
{
    // (temperature, CP[0], result): a check point reached is passed; taken unsigned, a negative check
    // point lies above every temperature.
    using Case = std::tuple<LONG, LONG, std::string>;
    for (const auto& [t, cp0, result] : std::initializer_list<Case>{
             {33, 30, "1/11"}, {30, 30, "1/11"}, {99, 30, "9/91"}, {20, -1, "0/01"}}) {
        Ru().Mode = FAN_MODE_SYSTEM;
        Ru().CurrentStage = 12;
        Ru().TempCheckPoint[0] = cp0;
        Temperatures(0, t, 0, 0);
        EXPECT_EQ(RuPass(), result) << "T = " << t;
    }

    Ru().TempCheckPoint[0] = 30;
    Temperatures(0, 20, 0, 0);
    Ru().CurrentStage = 3;
    Ru().TempCheckPoint[2] = INT_MIN;
    Ru().TempCushion = 1; // INT_MIN - 1 wraps to INT_MAX
    EXPECT_EQ(RuPass(), "2/21");
    Ru().CurrentStage = 9;
    Ru().TempCheckPoint[8] = INT_MIN + 1;
    Ru().TempCushion = 2;
    EXPECT_EQ(RuPass(), "8/81");
    Ru().CurrentStage = 9;
    Ru().TempCheckPoint[8] = INT_MAX;
    Ru().TempCushion = -1; // wraps to INT_MIN: no temperature lies below it
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Ru().CurrentStage, 9u);
}

TEST_F(FanControlTest, ControllerModeWritesItsCodeAtEveryPass)
{
    // (mode, code, temperature reported): System before Backplane before VRM.
    using Row = std::tuple<ULONG, uint8_t, LONG>;
    Temperatures(11, 22, 33, 44);
    for (const auto& [mode, code, temperature] : std::initializer_list<Row>{{0x8002, 128, 22},
                                                                            {0x8004, 130, 33},
                                                                            {0x8008, 129, 44},
                                                                            {0x8006, 128, 22},
                                                                            {0x800C, 130, 33},
                                                                            {0x800F, 128, 22}}) {
        Rb().Mode = mode;
        Rb().CurrentStage = 5;
        for (int pass = 0; pass < 2; pass++) {
            Pass();
            EXPECT_EQ(RbPwm(), code) << std::hex << mode << " pass " << pass;
            EXPECT_EQ(RuPwm(), kUntouched);
            EXPECT_EQ(Rb().CurrentStage, 0u);
            EXPECT_EQ(Rb().Pwm[0], code);
            EXPECT_EQ(Rb().CurrentTemp, temperature);
        }
    }

    // The CPU is no controller source: nothing is written and the state is cleared.
    Rb().Mode = 0x8001;
    Rb().CurrentStage = 5;
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Rb().CurrentStage, 0u);
    EXPECT_EQ(Rb().Pwm[0], 0u);
    EXPECT_EQ(Rb().CurrentTemp, 0);
}

TEST_F(FanControlTest, StageChangeWhosePwmWriteFailsIsTriedAgainAtTheNextPass)
{
    // (stage, VRM temperature, first pass with Rear Upper's write refused, its published PWM, next pass).
    // Check points 30, 35, ..., 70, no cushion; a stage above 9 has no PWM value to publish.
    using Row = std::tuple<ULONG, LONG, std::string, std::optional<uint32_t>, std::string>;
    ext_.PublishCurrent = 1;
    Rb().Mode = FAN_MODE_CONTROLLER | FAN_MODE_SYSTEM;
    for (const auto& [stage, t, failed, published, next] :
         std::initializer_list<Row>{{3, 99, "3/-", 0x1031, "4/41"}, // up
                                    {3, 10, "3/-", 0x1031, "2/21"}, // down
                                    {8, 10, "8/-", 0x1081, "7/71"}, // one step down, not a jump
                                    {10, 33, "10/-", std::nullopt, "1/11"}}) {
        machine_.registry().DeleteValue(std::string(kService) + "\\Current\\FAN", "FANCNTL_RU_CURRENT_PWM");
        Ru().Mode = FAN_MODE_VRM;
        Ru().CurrentStage = stage;
        Temperatures(0, 0, 0, t);
        superio().HoldBusy(16); // the first register access of the pass, Rear Upper's PWM, is refused
        EXPECT_EQ(RuPass(), failed) << "stage " << stage << ", T " << t;
        EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_STAGE"), stage);
        EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_TEMP"), static_cast<uint32_t>(t));
        EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_PWM"), published);
        EXPECT_EQ(RbPwm(), 128); // the other fan's write goes through
        EXPECT_EQ(RuPass(), next);
    }
}

TEST_F(FanControlTest, PassPublishesBothFansUnlessOffOrStopping)
{
    ext_.PublishCurrent = 1;
    Ru().Mode = FAN_MODE_BACKPLANE;
    Ru().CurrentStage = 3;
    Rb().Mode = FAN_MODE_CONTROLLER | FAN_MODE_VRM;
    Temperatures(0, 0, 47, 58);
    Pass();
    EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_STAGE"), 4u);
    EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_TEMP"), 47u);
    EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_PWM"), 0x1041u); // the whole value, not its low byte
    EXPECT_EQ(Current("FAN", "FANCNTL_RB_CURRENT_STAGE"), 0u);
    EXPECT_EQ(Current("FAN", "FANCNTL_RB_CURRENT_TEMP"), 58u);
    EXPECT_EQ(Current("FAN", "FANCNTL_RB_CURRENT_PWM"), 129u);

    // Publishing off: the pass still controls, but writes nothing to the registry.
    ext_.PublishCurrent = 0;
    const uint64_t writes = machine_.registry().Writes();
    Temperatures(0, 0, 52, 58);
    Pass();
    EXPECT_EQ(Ru().CurrentStage, 5u);
    EXPECT_EQ(machine_.registry().Writes(), writes);
    EXPECT_EQ(Current("FAN", "FANCNTL_RU_CURRENT_STAGE"), 4u);

    // Stopping: neither the chip nor the registry is touched, and the state stays.
    ext_.PublishCurrent = 1;
    ext_.StopMonitor = 1;
    EXPECT_EQ(QuietPass(), "");
    EXPECT_EQ(Ru().CurrentStage, 5u);
    EXPECT_EQ(machine_.registry().Writes(), writes);
}

} // namespace
