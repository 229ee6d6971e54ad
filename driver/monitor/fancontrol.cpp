/*++

Module Name:

    fancontrol.cpp

Abstract:

    Drives the two chassis fans from the board temperatures, once per poll,
    on the readings of that poll. In stage mode a fan runs on a ten-entry PWM
    table: the stage rises one step when the control temperature reaches the
    next check point, and falls one step only when it drops below the check
    point the stage was entered at, minus a cushion, so the fan does not flap
    around a check point. In controller mode the fan's PWM output gets a
    fixed code at every poll.

Environment:

    Kernel mode only, passive level; runs only on the monitor thread.

--*/

#include "control/records.h"
#include "monitor/config.h"
#include "monitor/monitor.h"

#define FAN_CURRENT_KEY QUAV_SERVICE_KEY WSTR("\\Current\\FAN")

//
// Logical sensor slots of the temperatures a fan can follow.
//
#define SLOT_CPU       2
#define SLOT_SYSTEM    3
#define SLOT_BACKPLANE 4
#define SLOT_VRM       5

//
// Controller mode: the first selected row wins.
//
typedef struct _FAN_CONTROLLER_CODE {
    ULONG ModeBit;
    ULONG Code;
    ULONG Slot; // the temperature reported with it
} FAN_CONTROLLER_CODE;

static const FAN_CONTROLLER_CODE FanControllerCodes[] = {
    {FAN_MODE_SYSTEM, 128, SLOT_SYSTEM},
    {FAN_MODE_BACKPLANE, 130, SLOT_BACKPLANE},
    {FAN_MODE_VRM, 129, SLOT_VRM},
};

//
// Stage mode: the source bits and their temperatures, in the order taken.
//
typedef struct _FAN_SOURCE {
    ULONG ModeBit;
    ULONG Slot;
} FAN_SOURCE;

static const FAN_SOURCE FanSources[] = {
    {FAN_MODE_CPU, SLOT_CPU},
    {FAN_MODE_SYSTEM, SLOT_SYSTEM},
    {FAN_MODE_BACKPLANE, SLOT_BACKPLANE},
    {FAN_MODE_VRM, SLOT_VRM},
};

typedef struct _FAN_PUBLISHED_NAMES {
    PCWSTR Stage;
    PCWSTR Temperature;
    PCWSTR Pwm;
} FAN_PUBLISHED_NAMES;

static const FAN_PUBLISHED_NAMES FanPublishedNames[FAN_PROFILES] = {
    {WSTR("FANCNTL_RU_CURRENT_STAGE"), WSTR("FANCNTL_RU_CURRENT_TEMP"), WSTR("FANCNTL_RU_CURRENT_PWM")},
    {WSTR("FANCNTL_RB_CURRENT_STAGE"), WSTR("FANCNTL_RB_CURRENT_TEMP"), WSTR("FANCNTL_RB_CURRENT_PWM")},
};

static LONG SlotTemperature(PDEVICE_EXTENSION Extension, ULONG Slot)
{
    return ReadNoFence(&Extension->Sensors[Slot]->CurrentValue);
}

//
// A check point less the cushion, as the processor computes it: both come
// from the registry unchecked, and the difference wraps rather than
// overflowing.
//
static LONG CheckPointLessCushion(LONG CheckPoint, LONG Cushion)
{
    return (LONG)((ULONG)CheckPoint - (ULONG)Cushion);
}

static VOID ControllerStep(PDEVICE_EXTENSION Extension, PFAN_CONTROL_PROFILE Profile, PSENSOR_RECORD Fan)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(FanControllerCodes); i++) {
        const FAN_CONTROLLER_CODE* row = &FanControllerCodes[i];
        if (Profile->Mode & row->ModeBit) {
            SetFanPwm(Fan, row->Code);
            Profile->CurrentStage = 0;
            Profile->Pwm[0] = row->Code;
            Profile->CurrentTemp = SlotTemperature(Extension, row->Slot);
            return;
        }
    }
    Profile->CurrentStage = 0;
    Profile->Pwm[0] = 0;
    Profile->CurrentTemp = 0;
}

/*++

Routine Description:

    One stage-mode step: the control temperature is the highest selected
    temperature, never below 0; the stage moves at most one step, except
    that a loaded stage above 9 jumps straight to the stage that fits. The
    PWM output is written only when the stage changes, and the stage changes
    only when that write succeeded.

--*/
static VOID StageStep(PDEVICE_EXTENSION Extension, PFAN_CONTROL_PROFILE Profile, PSENSOR_RECORD Fan)
{
    const LONG* checkPoint = Profile->TempCheckPoint;
    LONG temperature = 0;
    ULONG stage = Profile->CurrentStage;
    ULONG next = stage;

    for (ULONG i = 0; i < RTL_NUMBER_OF(FanSources); i++) {
        if (Profile->Mode & FanSources[i].ModeBit) {
            LONG t = SlotTemperature(Extension, FanSources[i].Slot);
            if (t > temperature) {
                temperature = t;
            }
        }
    }
    Profile->CurrentTemp = temperature;

    if (stage == 0) {
        if (temperature >= checkPoint[0]) {
            next = 1;
        }
    } else if (stage < FAN_STAGES - 1) {
        if (temperature >= checkPoint[stage]) {
            next = stage + 1;
        } else if (temperature < CheckPointLessCushion(checkPoint[stage - 1], Profile->TempCushion)) {
            next = stage - 1;
        }
    } else if (stage == FAN_STAGES - 1) {
        if (temperature < CheckPointLessCushion(checkPoint[FAN_CHECK_POINTS - 1], Profile->TempCushion)) {
            next = stage - 1;
        }
    } else {
        // A negative check point, taken unsigned, lies above every temperature.
        next = FAN_STAGES - 1;
        for (ULONG k = 0; k < FAN_CHECK_POINTS; k++) {
            if ((ULONG)checkPoint[k] > (ULONG)temperature) {
                next = k;
                break;
            }
        }
    }

    // The stage names the duty the fan runs at: a write the controller refused (busy) leaves the fan
    // at its old duty, so the stage stays and the next poll tries the step again.
    if (next != stage && NT_SUCCESS(SetFanPwm(Fan, Profile->Pwm[next]))) {
        Profile->CurrentStage = next;
    }
}

/*++

Routine Description:

    One control pass over both fans, then, when publishing is on, each fan's
    stage, control temperature and PWM value under the Current FAN key: the
    stage and PWM value the fan was last set to.
    Nothing is done once the monitor has been told to stop.

--*/
VOID ControlFanSpeed(PDEVICE_EXTENSION Extension)
{
    if (ReadUCharNoFence(&Extension->StopMonitor)) {
        return;
    }
    for (ULONG fan = 0; fan < FAN_PROFILES; fan++) {
        PFAN_CONTROL_PROFILE profile = &Extension->FanProfile[fan];
        if (profile->Mode & FAN_MODE_CONTROLLER) {
            ControllerStep(Extension, profile, Extension->Sensors[fan]);
        } else {
            StageStep(Extension, profile, Extension->Sensors[fan]);
        }
    }
    if (Extension->PublishCurrent) {
        for (ULONG fan = 0; fan < FAN_PROFILES; fan++) {
            const FAN_CONTROL_PROFILE* profile = &Extension->FanProfile[fan];
            WriteRegistryDword(FAN_CURRENT_KEY, FanPublishedNames[fan].Stage, profile->CurrentStage);
            WriteRegistryDword(FAN_CURRENT_KEY, FanPublishedNames[fan].Temperature,
                               (ULONG)profile->CurrentTemp);
            // A loaded stage above 9 whose first write failed has no table entry: what the fan runs
            // at is then unknown, and no PWM value is published.
            if (profile->CurrentStage < FAN_STAGES) {
                WriteRegistryDword(FAN_CURRENT_KEY, FanPublishedNames[fan].Pwm,
                                   profile->Pwm[profile->CurrentStage]);
            }
        }
    }
}
