// The tools' sensor catalogue against the two tables it cannot share code with: the board's wiring and
// the running driver (its records by type and id, its published values, its WMI block and the names its
// events give).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "default_config.h"
#include "eventlog/eventlog.h"
#include "plant.h"
#include "sensors.h"
#include "sim/user.h"
#include "sim/wmi.h"
#include "simulation.h"

namespace {

using quavtools::kSensors;
using quavtools::SensorInfo;
using quavtools::SensorKind;

TEST(SensorCatalogue, NumbersEachSensorOnceAndFindsItByEachOfThem)
{
    std::set<uint32_t> wmi_numbers;
    std::set<int> fans;
    for (size_t i = 0; i < kSensors.size(); i++) {
        const SensorInfo& s = kSensors[i];
        EXPECT_EQ(quavtools::FindSensor(s.type, s.id), &s) << s.name;
        EXPECT_EQ(quavtools::SensorByWmiNumber(s.wmi_number), &s) << s.name;
        EXPECT_EQ(quavtools::SensorIndex(s.name), i) << s.name;
        EXPECT_TRUE(s.wmi_number >= 1 && s.wmi_number <= kSensors.size()) << s.name;
        wmi_numbers.insert(s.wmi_number);
        EXPECT_EQ(s.IsFan(), s.Kind() == SensorKind::Fan) << s.name;
        if (s.IsFan()) {
            EXPECT_EQ(quavtools::FanSensor(s.fan), i) << s.name;
            fans.insert(s.fan);
        }
        // Drawn sensors have a colour, and are drawn with their own kind.
        EXPECT_EQ(s.colour != nullptr, s.panel != quavtools::PlotPanel::None) << s.name;
        if (s.panel == quavtools::PlotPanel::FanSpeed) {
            EXPECT_TRUE(s.IsFan()) << s.name;
        }
        if (s.panel == quavtools::PlotPanel::Temperature) {
            EXPECT_EQ(s.Kind(), SensorKind::Temperature) << s.name;
        }
        if (s.panel == quavtools::PlotPanel::Voltage) {
            EXPECT_EQ(s.Kind(), SensorKind::Voltage) << s.name;
        }
    }
    EXPECT_EQ(wmi_numbers.size(), kSensors.size());
    EXPECT_EQ(fans, (std::set<int>{0, 1}));
    EXPECT_FALSE(quavtools::SensorIndex("cpu").has_value()); // names are exact
}

// The board's wiring lists the same sensors in the same order; the thermal plant's nodes are temperature
// sensors of the catalogue, each its own.
TEST(SensorCatalogue, TheBoardAndThePlantNameItsSensors)
{
    std::set<size_t> nodes;
    for (const quavsim::Plant::Node& node : quavsim::Plant::kNodeTable) {
        const std::optional<size_t> index = quavtools::SensorIndex(node.sensor);
        ASSERT_TRUE(index.has_value()) << node.sensor;
        EXPECT_EQ(kSensors[*index].Kind(), SensorKind::Temperature) << node.sensor;
        nodes.insert(*index);
    }
    EXPECT_EQ(nodes.size(), quavsim::Plant::kNodeTable.size());

    const auto& board = board::Board::Sensors();
    ASSERT_EQ(board.size(), kSensors.size());
    for (size_t i = 0; i < kSensors.size(); i++) {
        const SensorKind kind = board[i].kind == board::SensorKind::Fan           ? SensorKind::Fan
                                : board[i].kind == board::SensorKind::Temperature ? SensorKind::Temperature
                                                                                  : SensorKind::Voltage;
        EXPECT_EQ(board[i].name, kSensors[i].name) << i;
        EXPECT_EQ(kind, kSensors[i].Kind()) << board[i].name;
        EXPECT_STREQ(board[i].unit, kSensors[i].Unit()) << board[i].name;
    }
}

// Every sensor set on the board to a value of its own, far enough from the others of its kind that a
// sensor taken for another cannot pass; then each of the driver's ways of naming it must find that value.
TEST(SensorCatalogue, TheDriverKnowsEachSensorByTheCataloguesNumbersAndName)
{
    const std::map<std::string, int32_t> values = {
        {"Rear Upper", 1500}, {"Rear Bottom", 3300}, {"CPU", 41},    {"System", 33},
        {"Backplane", 27},    {"VRM", 52},           {"VCCP", 1100}, {"1.8V", 1700},
        {"3.3V", 3150},       {"5V", 4700},          {"12V", 11500}, {"AUX", 5400},
    };
    quavsim::Simulation simulation(DefaultMachine());
    for (const auto& [name, value] : values) {
        ASSERT_TRUE(simulation.board().SetSensor(name, value)) << name;
    }
    ASSERT_EQ(simulation.Boot(), STATUS_SUCCESS);
    simulation.RunFor(sim::Seconds(6));
    sim::Machine& m = simulation.machine();

    std::vector<uint8_t> block;
    ASSERT_EQ(m.wmi().QueryAllData(QUAV_SENSOR_DATA_GUID_INIT, &block), STATUS_SUCCESS);
    ASSERT_EQ(block.size(), kSensors.size() * sizeof(SENSOR_DATA_ENTRY));
    sim::UserClient user(true);
    HANDLE handle = nullptr;
    ASSERT_EQ(user.Open(u"" QUAV_USER_PATH_TEXT, &handle), STATUS_SUCCESS);
    const std::string current = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\";
    const std::map<SensorKind, ULONG> event_codes = {{SensorKind::Fan, EVENT_CODE_FAN},
                                                     {SensorKind::Temperature, EVENT_CODE_TEMPERATURE},
                                                     {SensorKind::Voltage, EVENT_CODE_VOLTAGE}};
    for (const SensorInfo& s : kSensors) {
        const double want = values.at(s.name);
        const double near = s.Kind() == SensorKind::Temperature ? 0.5 : want * 0.02;
        SENSOR_RECORD record{};
        record.SensorType = s.type;
        record.SensorId = s.id;
        SENSOR_RECORD out{};
        ULONG returned = 0;
        ASSERT_EQ(user.DeviceIoControl(handle, IOCTL_QUAV_READ_SENSOR, &record, sizeof record, &out,
                                       sizeof out, &returned),
                  STATUS_SUCCESS)
            << s.name;
        EXPECT_NEAR(out.CurrentValue, want, near) << s.name;
        const auto published = m.registry().GetDword(current + s.CurrentKey(), s.current_value);
        ASSERT_TRUE(published.has_value()) << s.name;
        EXPECT_NEAR(static_cast<int32_t>(*published), want, near) << s.name;
        SENSOR_DATA_ENTRY entry;
        std::memcpy(&entry, block.data() + (s.wmi_number - 1) * sizeof entry, sizeof entry);
        EXPECT_NEAR(entry.CurrentValue, want, near) << s.name;

        m.eventlog().Clear();
        WriteEventLogEntry(nullptr, EVENT_KIND_SENSOR, EVENT_LEVEL_NORMAL, event_codes.at(s.Kind()), &record);
        const std::vector<sim::EventRecord> events = m.eventlog().Records();
        ASSERT_EQ(events.size(), 1u) << s.name;
        ASSERT_FALSE(events[0].strings.empty()) << s.name;
        EXPECT_EQ(events[0].strings[0], s.name);
    }
    user.Close(handle);
    EXPECT_EQ(simulation.Shutdown(), STATUS_SUCCESS);
}

} // namespace
