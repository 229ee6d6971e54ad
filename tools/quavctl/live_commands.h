// quavctl's commands on the driver at work: its event log (shown, or followed as it grows) and its fans
// with the stage and PWM the driver publishes.
#pragma once

#include <ostream>

#include "device.h"

namespace quavctl {

// The event log as events.txt shows it, or (json_output) as events.jsonl lines. Following, it asks again
// every second for the records written since, until the process is interrupted or the connection ends.
// The process's exit code; throws TransportError when the other end is not a working quavsim.
int ShowEvents(Device& device, bool json_output, bool follow, std::ostream& out);

// Each fan: its speed, the stage and PWM the driver published last under its Current\FAN key, and what
// drives it as configured (FANCNTL_xx_MODE): the driver's stage table on the temperatures it follows,
// or the chip's automatic control. A stage or PWM not published (CURRENT_STAGE off) shows as "-"; a
// speed that cannot be read shows its status and fails the command (1).
int ShowFans(Device& device, bool json_output, std::ostream& out);

} // namespace quavctl
