// Reading a scenario's "board" section: the machine as the firmware leaves it, before the driver loads.
//
//   "board": {
//     "superio": "absent",                  or an object:
//     "superio": {"port": "0x4E",           the configuration port it is strapped to (0x2E by default)
//                 "identity": ["0x90", "0x12"],       what registers 0x58 and 0x5B answer
//                 "registers": {"0x0c": 0},           environment-controller registers
//                 "busy": 20},                        reads that show busy, or "always"
//     "southbridge": {"vendor": "0x1039", "device": "0x0966",   the bridge's PCI identity
//                     "sensor": false,                          the SMBus sensor answers or not
//                     "sensor_registers": {"0xfe": "0x41"},
//                     "hung": "always", "colliding": 3}         SMBus transactions from power-on
//   }
#pragma once

#include "scenario_reader.h"

namespace quavsim {

void ReadBoard(const ScenarioReader& reader, const nlohmann::json& doc, Scenario& scenario);

// Refuses what needs a chip the board section took away (a Super I/O register, a busy controller, the
// plant's fans), naming the place.
void CheckBoardChips(const ScenarioReader& reader, const Scenario& scenario);

} // namespace quavsim
