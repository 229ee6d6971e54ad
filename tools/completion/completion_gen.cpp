// Fills a bash completion template with the sensor names of the tools' catalogue (tools/common/sensors.h),
// as they are typed on a command line: "rear-upper", "cpu", "12v". The scripts then follow the catalogue.
//   completion_gen TEMPLATE OUTPUT
// @SENSOR_NAMES@ becomes every sensor's name, @FAN_NAMES@ the fans' only.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sensors.h"

namespace {

std::string TypedName(const char* name)
{
    std::string typed;
    for (const char* c = name; *c != '\0'; c++) {
        typed += *c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return typed;
}

std::string Names(bool fans_only)
{
    std::string names;
    for (const quavtools::SensorInfo& sensor : quavtools::kSensors) {
        if (!fans_only || sensor.IsFan()) {
            names += (names.empty() ? "" : " ") + TypedName(sensor.name);
        }
    }
    return names;
}

void Replace(std::string& text, const std::string& mark, const std::string& value)
{
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size())) {
        text.replace(at, mark.size(), value);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: completion_gen TEMPLATE OUTPUT\n");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string script = text.str();
    if (!in || script.empty()) {
        std::fprintf(stderr, "completion_gen: cannot read %s\n", argv[1]);
        return 1;
    }
    Replace(script, "@SENSOR_NAMES@", Names(false));
    Replace(script, "@FAN_NAMES@", Names(true));
    std::ofstream out(argv[2], std::ios::binary);
    out << script;
    if (!out) {
        std::fprintf(stderr, "completion_gen: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
