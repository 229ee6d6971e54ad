#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "status_names.h"

namespace quavctl {

const std::array<ControlInfo, CONTROL_COUNT> kControls = {{
    {CONTROL_CLASS_PIN_PAIR, 1},
    {CONTROL_CLASS_SIGNALS, 2},
    {CONTROL_CLASS_SIGNALS, 3},
    {CONTROL_CLASS_SIGNALS, 4},
    {CONTROL_CLASS_SIGNALS, 5},
    {CONTROL_CLASS_READ_ONLY3, 2},
    {CONTROL_CLASS_READ_ONLY3, 3},
    {CONTROL_CLASS_READ_ONLY3, 4},
    {CONTROL_CLASS_READ_ONLY3, 5},
    {CONTROL_CLASS_READ_ONLY4, 2},
    {CONTROL_CLASS_READ_ONLY4, 3},
    {CONTROL_CLASS_READ_ONLY4, 4},
    {CONTROL_CLASS_READ_ONLY4, 5},
    {CONTROL_CLASS_BRIGHTNESS, 6},
    {CONTROL_CLASS_FWP_MODE, 18},
}};

std::string FormatNumber(uint32_t type, int32_t value)
{
    char text[32];
    switch (type) {
        case SENSOR_TYPE_TEMPERATURE:
            std::snprintf(text, sizeof text, "%+d", value);
            break;
        case SENSOR_TYPE_VOLTAGE: {
            const int64_t mv = value;
            const int64_t magnitude = std::llabs(mv);
            std::snprintf(text, sizeof text, "%s%lld.%03lld", mv < 0 ? "-" : "",
                          static_cast<long long>(magnitude / 1000), static_cast<long long>(magnitude % 1000));
            break;
        }
        default:
            std::snprintf(text, sizeof text, "%d", value);
            break;
    }
    return text;
}

const char* DisplayUnit(uint32_t type)
{
    switch (type) {
        case SENSOR_TYPE_FAN:
            return "RPM";
        case SENSOR_TYPE_TEMPERATURE:
            return "°C";
        case SENSOR_TYPE_VOLTAGE:
            return "V";
        default:
            return "";
    }
}

const char* RawUnit(uint32_t type)
{
    switch (type) {
        case SENSOR_TYPE_FAN:
            return "RPM";
        case SENSOR_TYPE_TEMPERATURE:
            return "degC";
        case SENSOR_TYPE_VOLTAGE:
            return "mV";
        default:
            return "";
    }
}

std::string FormatReading(uint32_t type, int32_t value)
{
    const std::string unit = DisplayUnit(type);
    return unit.empty() ? FormatNumber(type, value) : FormatNumber(type, value) + " " + unit;
}

const char* ControlClassName(uint32_t control_class)
{
    switch (control_class) {
        case CONTROL_CLASS_PIN_PAIR:
            return "pin pair";
        case CONTROL_CLASS_SIGNALS:
            return "signals";
        case CONTROL_CLASS_READ_ONLY3:
        case CONTROL_CLASS_READ_ONLY4:
            return "read-only";
        case CONTROL_CLASS_BRIGHTNESS:
            return "brightness";
        case CONTROL_CLASS_FWP_MODE:
            return "FWP mode";
        default:
            return "unknown class";
    }
}

std::string DescribeValueCode(uint32_t control_class, uint32_t code)
{
    switch (control_class) {
        case CONTROL_CLASS_PIN_PAIR:
            switch (code) {
                case VALUE_PIN_PAIR_HIGH_HIGH:
                    return "high, high";
                case VALUE_PIN_PAIR_HIGH_LOW:
                    return "high, low";
                case VALUE_PIN_PAIR_LOW_HIGH:
                    return "low, high";
                case VALUE_PIN_PAIR_LOW_LOW:
                    return "low, low";
                case VALUE_PIN_PAIR_HIGH_LOW_B_OFF:
                    return "high, low, B off";
                case VALUE_PIN_PAIR_LOW_HIGH_A_OFF:
                    return "low, high, A off";
            }
            break;
        case CONTROL_CLASS_SIGNALS:
            switch (code) {
                case VALUE_SIGNALS_HIGH_HIGH:
                    return "first high, second high";
                case VALUE_SIGNALS_LOW_HIGH:
                    return "first low, second high";
                case VALUE_SIGNALS_HIGH_LOW:
                    return "first high, second low";
                case VALUE_SIGNALS_LOW_LOW:
                    return "first low, second low";
            }
            break;
        case CONTROL_CLASS_READ_ONLY3:
        case CONTROL_CLASS_READ_ONLY4:
            return "no hardware";
        case CONTROL_CLASS_BRIGHTNESS:
            if (code >= VALUE_BRIGHTNESS_0 && code <= VALUE_BRIGHTNESS_0 + 9) {
                return "level " + std::to_string(code - VALUE_BRIGHTNESS_0);
            }
            break;
        case CONTROL_CLASS_FWP_MODE:
            if (code == VALUE_FWP_HIGH) {
                return "high";
            }
            if (code == VALUE_FWP_LOW) {
                return "low";
            }
            break;
    }
    return "";
}

// Sends a record (followed by the set requests' argument) and takes the record the driver returns. On
// success the driver returns the whole record: anything shorter means the other side is not the driver.
template <typename Record>
uint32_t Device::Request(uint32_t code, const Record& record, const ULONG* argument, Record* out)
{
    std::vector<uint8_t> in(sizeof record + (argument != nullptr ? sizeof *argument : 0));
    std::memcpy(in.data(), &record, sizeof record);
    if (argument != nullptr) {
        std::memcpy(in.data() + sizeof record, argument, sizeof *argument);
    }
    std::vector<uint8_t> reply;
    const uint32_t status = transport_.DeviceIoControl(code, in, sizeof(Record), &reply);
    if (quavtools::StatusSucceeded(status)) {
        if (reply.size() != sizeof(Record)) {
            throw TransportError("the driver returned " + std::to_string(reply.size()) + " bytes for a " +
                                 std::to_string(sizeof(Record)) + "-byte record");
        }
        std::memcpy(out, reply.data(), sizeof(Record));
    }
    return status;
}

namespace {

SENSOR_RECORD SensorRequest(uint32_t type, uint32_t id)
{
    SENSOR_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.SensorType = type;
    record.SensorId = id;
    return record;
}

CONTROL_RECORD ControlRequest(uint32_t control_class, uint32_t index)
{
    CONTROL_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.ControlClass = control_class;
    record.ControlIndex = index;
    return record;
}

} // namespace

uint32_t Device::ReadSensor(uint32_t type, uint32_t id, SENSOR_RECORD* record)
{
    return Request(IOCTL_QUAV_READ_SENSOR, SensorRequest(type, id), nullptr, record);
}

uint32_t Device::SetFanPwm(uint32_t id, uint32_t pwm, SENSOR_RECORD* record)
{
    const ULONG argument = pwm;
    return Request(IOCTL_QUAV_SET_FAN_PWM, SensorRequest(SENSOR_TYPE_FAN, id), &argument, record);
}

uint32_t Device::ReadControl(uint32_t control_class, uint32_t index, CONTROL_RECORD* record)
{
    return Request(IOCTL_QUAV_READ_CONTROL, ControlRequest(control_class, index), nullptr, record);
}

uint32_t Device::SetControl(uint32_t control_class, uint32_t index, uint32_t code, CONTROL_RECORD* record)
{
    const ULONG argument = code;
    return Request(IOCTL_QUAV_SET_CONTROL, ControlRequest(control_class, index), &argument, record);
}

uint32_t Device::QuerySensorBlock(std::vector<SENSOR_DATA_ENTRY>* entries)
{
    std::vector<uint8_t> data;
    const uint32_t status = transport_.WmiQuery(&data);
    entries->clear();
    if (quavtools::StatusSucceeded(status)) {
        // The block is the driver's twelve entries, one a sensor: any other size is not its block.
        constexpr size_t kBlockSize = kSensors.size() * sizeof(SENSOR_DATA_ENTRY);
        if (data.size() != kBlockSize) {
            throw TransportError("the WMI data block has " + std::to_string(data.size()) +
                                 " bytes, not the " + std::to_string(kBlockSize) + " of " +
                                 std::to_string(kSensors.size()) + " sensor entries");
        }
        entries->resize(kSensors.size());
        std::memcpy(entries->data(), data.data(), kBlockSize);
    }
    return status;
}

uint32_t Device::SetReportedLimit(uint32_t method, uint32_t number, int32_t value)
{
    SENSOR_METHOD_INPUT input;
    input.SensorNumber = number;
    input.Value = value;
    std::vector<uint8_t> in(sizeof input);
    std::memcpy(in.data(), &input, sizeof input);
    std::vector<uint8_t> out;
    return transport_.WmiMethod(method, in, &out);
}

uint32_t Device::ReadDword(const std::string& key, const std::string& name, uint32_t* value)
{
    constexpr uint32_t kRegDword = 4;
    constexpr uint32_t kTypeMismatch = 0xC0000024; // STATUS_OBJECT_TYPE_MISMATCH
    uint32_t type = 0;
    std::vector<uint8_t> data;
    const uint32_t status = transport_.RegistryValue(key, name, &type, &data);
    if (!quavtools::StatusSucceeded(status)) {
        return status;
    }
    if (type != kRegDword || data.size() != sizeof *value) {
        return kTypeMismatch;
    }
    std::memcpy(value, data.data(), sizeof *value);
    return status;
}

} // namespace quavctl
