/*++

Module Name:

    start.cpp

Abstract:

    StartDevice: brings monitoring up when the device starts. The hardware
    layers come first (a missing chip fails the start before anything else
    happens), then the configuration, the optional start-up of the PWM
    outputs, the records, the FWP mode signal and the monitor thread.

Environment:

    Kernel mode only, passive level, on the Plug and Play start path.

--*/

#include "control/records.h"
#include "eventlog/eventlog.h"
#include "hardware/chipset.h"
#include "hardware/siocommand.h"
#include "monitor/config.h"
#include "monitor/monitor.h"

CODE_SEG("PAGE") static ULONG FanStartupGroup(const FAN_CONTROL_PROFILE* Profile)
{
    PAGED_CODE();

    return (Profile->Mode & FAN_MODE_CONTROLLER) ? SIO_FAN_INIT_AUTO : SIO_FAN_INIT;
}

/*++

Routine Description:

    Start-up of the PWM outputs: output 3 (brightness) first, since its
    start-up takes the fans' bits out of the fan-control main register, then
    the Rear Upper and Rear Bottom fans, each with its automatic-control
    parameters when it runs in controller mode.

Return Value:

    STATUS_SUCCESS, or the first failing command's status.

--*/
CODE_SEG("PAGE") static NTSTATUS StartOutputs(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    ULONG scratch = 0;
    NTSTATUS status;

    status = SioCommand(SIO_BRIGHTNESS_INIT, SIO_ITEM_PWM3, &scratch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SioCommand(FanStartupGroup(&Extension->FanProfile[0]), SIO_ITEM_FAN1, &scratch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SioCommand(FanStartupGroup(&Extension->FanProfile[1]), SIO_ITEM_FAN2, &scratch);
}

/*++

Routine Description:

    Brings monitoring up. Started is set first and stays set whatever
    happens; a second call while it is set does nothing.

Return Value:

    STATUS_SUCCESS; the status of a failed hardware initialization or
    start-up command. Failures of record reads, of the FWP signal and of the
    thread creation are not reported: the device then runs with what it has.

--*/
CODE_SEG("PAGE") NTSTATUS StartDevice(PDEVICE_EXTENSION Extension)
{
    PAGED_CODE();

    NTSTATUS status;

    if (Extension->Started) {
        return STATUS_SUCCESS;
    }
    g_DeviceExtension = Extension;
    Extension->Started = 1;

    status = SioInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ChipsetInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SmbusSensorInitialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }

    Extension->MonitorThreadObject = NULL;
    WriteUCharNoFence(&Extension->StopMonitor, 0);

    LoadConfiguration(Extension);

    if (Extension->FanControlInit) {
        status = StartOutputs(Extension);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    InitStoredRecords(Extension);
    SetControlRecord(FwpModeRecord(Extension), Extension->FwpMode ? VALUE_FWP_LOW : VALUE_FWP_HIGH);

    CreateMonitorThread(Extension);

    WriteEventLogEntry(NULL, EVENT_KIND_LIFECYCLE, EVENT_LEVEL_NORMAL, EVENT_CODE_DEVICE_STARTED, NULL);
    return STATUS_SUCCESS;
}
