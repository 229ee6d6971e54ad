#include "scenario_board.h"

namespace quavsim {

namespace {

using nlohmann::json;

std::vector<board::RegisterValue> ReadRegisterValues(const ScenarioReader& r, const json& doc,
                                                     const std::string& where)
{
    if (!doc.is_object()) {
        r.Fail(where, "expected an object of register to value, such as {\"0x0c\": 0}");
    }
    std::vector<board::RegisterValue> values;
    for (const auto& [key, value] : doc.items()) {
        const std::string at = ScenarioReader::Join(where, key);
        board::RegisterValue v;
        v.reg = static_cast<uint8_t>(r.Integer(json(key), at, 0, 255));
        v.value = static_cast<uint8_t>(r.Integer(value, at, 0, 255));
        values.push_back(v);
    }
    return values;
}

// A number of reads or transactions, or "always" (-1).
int ReadCount(const ScenarioReader& r, const json& value, const std::string& where)
{
    if (value.is_string() && value.get<std::string>() == "always") {
        return -1;
    }
    if (!value.is_number_integer()) {
        r.Fail(where, "expected a count (1 or more) or \"always\"");
    }
    return static_cast<int>(r.Integer(value, where, 1, 1000000));
}

void ReadSuperIo(const ScenarioReader& r, const json& doc, Scenario& s)
{
    const std::string where = "/board/superio";
    if (doc.is_string() && doc.get<std::string>() == "absent") {
        s.board.superio.reset();
        return;
    }
    if (!doc.is_object()) {
        r.Fail(where, "expected \"absent\" or an object");
    }
    r.Keys(doc, where, {"port", "identity", "registers", "busy"});
    if (doc.contains("port")) {
        const int64_t port = r.Integer(doc["port"], where + "/port", 0, 0xFFFF);
        if (port != 0x2E && port != 0x4E) {
            r.Fail(where + "/port", "expected \"0x2E\" or \"0x4E\"");
        }
        s.board.superio->config_port = static_cast<uint16_t>(port);
    }
    if (doc.contains("identity")) {
        const json& id = doc["identity"];
        if (!id.is_array() || id.size() != 2) {
            r.Fail(where + "/identity", "expected the two bytes of registers 0x58 and 0x5B");
        }
        s.power_on.superio.identity =
            std::array<uint8_t, 2>{static_cast<uint8_t>(r.Integer(id[0], where + "/identity/0", 0, 255)),
                                   static_cast<uint8_t>(r.Integer(id[1], where + "/identity/1", 0, 255))};
    }
    if (doc.contains("registers")) {
        s.power_on.superio.registers = ReadRegisterValues(r, doc["registers"], where + "/registers");
    }
    if (doc.contains("busy")) {
        s.power_on.superio.busy_reads = ReadCount(r, doc["busy"], where + "/busy");
    }
}

void ReadSouthBridge(const ScenarioReader& r, const json& doc, Scenario& s)
{
    const std::string where = "/board/southbridge";
    r.Keys(doc, where, {"vendor", "device", "sensor", "sensor_registers", "hung", "colliding"});
    if (doc.contains("vendor")) {
        s.board.southbridge->vendor =
            static_cast<uint16_t>(r.Integer(doc["vendor"], where + "/vendor", 0, 0xFFFF));
    }
    if (doc.contains("device")) {
        s.board.southbridge->device =
            static_cast<uint16_t>(r.Integer(doc["device"], where + "/device", 0, 0xFFFF));
    }
    if (doc.contains("sensor")) {
        if (!doc["sensor"].is_boolean()) {
            r.Fail(where + "/sensor", "expected true (the SMBus sensor answers) or false");
        }
        s.power_on.southbridge.sensor_present = doc["sensor"].get<bool>();
    }
    if (doc.contains("sensor_registers")) {
        s.power_on.southbridge.sensor_registers =
            ReadRegisterValues(r, doc["sensor_registers"], where + "/sensor_registers");
    }
    if (doc.contains("hung")) {
        s.power_on.southbridge.hung = ReadCount(r, doc["hung"], where + "/hung");
    }
    if (doc.contains("colliding")) {
        s.power_on.southbridge.colliding = ReadCount(r, doc["colliding"], where + "/colliding");
    }
}

} // namespace

void ReadBoard(const ScenarioReader& r, const json& doc, Scenario& s)
{
    r.Keys(doc, "/board", {"superio", "southbridge"});
    if (doc.contains("superio")) {
        ReadSuperIo(r, doc["superio"], s);
    }
    if (doc.contains("southbridge")) {
        ReadSouthBridge(r, doc["southbridge"], s);
    }
}

void CheckBoardChips(const ScenarioReader& r, const Scenario& s)
{
    if (s.board.superio) {
        return;
    }
    const std::string why = "the board has no Super I/O (/board/superio)";
    for (size_t i = 0; i < s.registers.size(); i++) {
        if (s.registers[i].chip == Chip::SuperIo) {
            r.Fail(ScenarioReader::Join(ScenarioReader::Join("/registers", i), "chip"), why);
        }
    }
    for (const Fault& f : s.faults) {
        if (f.kind == FaultKind::ControllerBusy) {
            r.Fail(ScenarioReader::Join(f.where, "fault"), why);
        }
    }
    if (s.plant) {
        r.Fail("/plant", why + ": no fans to drive");
    }
}

} // namespace quavsim
