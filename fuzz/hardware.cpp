// Hostile hardware: a byte stream drives the board's chips (Super I/O and SMBus sensor registers, the
// busy, hang and collision faults, the bridge's identity and I/O base) under the running driver, while it
// polls and answers a few requests, with virtual time between. An input is a sequence of steps, each an
// opcode byte (modulo 22) and its fields:
//   0 reg value: environment-controller register       1 sensor value32: a board sensor, by value
//   2 ldn reg value: configuration register            3 set value: GPIO port
//   4 reads after: address-port busy (reads < 0: for ever)
//   5 r58 r5b: identity                                6 celsius: SMBus sensor's temperature
//   7 reg value: SMBus sensor register                  8 bit: the sensor acknowledges its address
//   9 count after: hung transactions (count < 0: all)  10/11/12 count: collisions at start, in status,
//                                                         after data (count < 0: all)
//  13 value: bus state held (< 0: normal)              14 value32: chipset GPIO
//  15 us16: SMBus transaction time                     16 ms16: virtual time passes (modulo 4096)
//  17 sensor: a sensor-read request                    18 class index: a control-read request
//  19: a WMI query of the data block                   20 base16: bridge I/O base   21 vendor16 device16
// Each input starts with the faults cleared (registers keep what earlier inputs of the lifetime left).
// Properties: no verifier report; no hang (the platform stops on a deadlock or a wait that never ends);
// every request completes; the published readings and what requests return stay in each sensor's range
// (its register's conversion: a failed read keeps the last reading); pool back to zero at unload.
#include <array>
#include <cstring>

#include "driver_harness.h"
#include "quav.h"

namespace {

const GUID kSensorData = QUAV_SENSOR_DATA_GUID_INIT;
const std::string kCurrent = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV\\Current\\";

// Each sensor in the driver's storage order: where it is published and the range its conversion gives
// (fan: 1,350,000 / count; EC temperature: the raw byte; CPU: sign and magnitude; voltage: raw byte times
// the divider's millivolts per count).
struct Range {
    ULONG type;
    ULONG id;
    const char* key;
    const char* name;
    int32_t low;
    int32_t high;
};
const std::array<Range, SENSOR_COUNT> kRanges = {{
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_UPPER, "FAN", "FAN_REAR_UPPER", 0, 1350000},
    {SENSOR_TYPE_FAN, SENSOR_ID_REAR_BOTTOM, "FAN", "FAN_REAR_BOTTOM", 0, 1350000},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_CPU, "THERMAL", "CPU", -127, 127},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_SYSTEM, "THERMAL", "SYSTEM", 0, 255},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_BACKPLANE, "THERMAL", "BackPlane", 0, 255},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_VCCP, "VOLTAGE", "VCCP", 0, 255 * 16},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V18, "VOLTAGE", "18V", 0, 255 * 16},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V33, "VOLTAGE", "33V", 0, 255 * 16},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V5, "VOLTAGE", "5V", 0, 255 * 2688 / 100},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_V12, "VOLTAGE", "12V", 0, 255 * 64},
    {SENSOR_TYPE_VOLTAGE, SENSOR_ID_AUX, "VOLTAGE", "AUX", 0, 255 * 2688 / 100},
    {SENSOR_TYPE_TEMPERATURE, SENSOR_ID_VRM, "THERMAL", "VRM", 0, 255},
}};

void InRange(const Range& r, int32_t value, const char* where)
{
    if (value < r.low || value > r.high) {
        fuzzdrv::Broken("readings stay in their sensor's range", std::string(r.name) + " " + where + " " +
                                                                     std::to_string(value) + "; " +
                                                                     fuzzdrv::DriverHarness::Get().Where());
    }
}

void CheckPublished(sim::Machine& m)
{
    for (const Range& r : kRanges) {
        if (const std::optional<uint32_t> v = m.registry().GetDword(kCurrent + r.key, r.name)) {
            InRange(r, static_cast<int32_t>(*v), "published");
        }
    }
}

void Completed(NTSTATUS status, const char* what)
{
    if (status == STATUS_PENDING) {
        fuzzdrv::Broken("every request completes",
                        std::string(what) + "; " + fuzzdrv::DriverHarness::Get().Where());
    }
}

void ReadSensor(fuzzdrv::DriverHarness& h, uint8_t which)
{
    const Range& r = kRanges[which % kRanges.size()];
    SENSOR_RECORD record{};
    record.SensorType = r.type;
    record.SensorId = r.id;
    ULONG returned = 0;
    const NTSTATUS status =
        h.Ioctl(IOCTL_QUAV_READ_SENSOR, &record, sizeof record, &record, sizeof record, &returned);
    Completed(status, "sensor read");
    if (NT_SUCCESS(status)) {
        InRange(r, record.Value, "read");
    }
}

void ReadControl(fuzzdrv::DriverHarness& h, uint8_t control_class, uint8_t index)
{
    CONTROL_RECORD record{};
    record.ControlClass = control_class % 10;
    record.ControlIndex = index % 20;
    ULONG returned = 0;
    Completed(h.Ioctl(IOCTL_QUAV_READ_CONTROL, &record, sizeof record, &record, sizeof record, &returned),
              "control read");
}

void QueryBlock(fuzzdrv::DriverHarness& h)
{
    std::vector<uint8_t> data;
    const NTSTATUS status = h.machine().wmi().QueryAllData(kSensorData, &data);
    Completed(status, "WMI query");
    if (status == STATUS_SUCCESS && data.size() == kRanges.size() * sizeof(SENSOR_DATA_ENTRY)) {
        for (size_t i = 0; i < kRanges.size(); i++) {
            SENSOR_DATA_ENTRY e;
            std::memcpy(&e, data.data() + i * sizeof e, sizeof e);
            InRange(kRanges[i], e.CurrentValue, "in the WMI block");
        }
    }
}

void Calm(board::Board& b)
{
    b.superio()->HoldBusy(0);
    b.southbridge()->HangTransactions(0);
    b.southbridge()->CollideOnStart(0);
    b.southbridge()->CollideInStatus(0);
    b.southbridge()->CollideAfterData(0);
    b.southbridge()->HoldBusState(-1);
    b.southbridge()->SetSensorPresent(true);
}

int Signed(uint8_t byte)
{
    return static_cast<int8_t>(byte);
}

void Chip(board::Board& b, uint8_t op, fuzzdrv::Reader& in)
{
    board::SuperIo& sio = *b.superio();
    board::SouthBridge& bridge = *b.southbridge();
    switch (op) {
        case 0: {
            const uint8_t reg = in.U8();
            return sio.SetRegister(reg, in.U8());
        }
        case 1: {
            const auto& sensors = board::Board::Sensors();
            const std::string& name = sensors[in.U8() % sensors.size()].name;
            b.SetSensor(name, static_cast<int32_t>(in.U32()));
            return;
        }
        case 2: {
            const uint8_t ldn = in.U8() % 8;
            const uint8_t reg = in.U8();
            return sio.SetConfigRegister(ldn, reg, in.U8());
        }
        case 3: {
            const int set = 1 + in.U8() % board::SuperIo::kGpioSets;
            return sio.SetGpioPort(set, in.U8());
        }
        case 4: {
            const int reads = Signed(in.U8());
            return sio.HoldBusy(reads, in.U8());
        }
        case 5: {
            const uint8_t r58 = in.U8();
            return sio.SetIdentity(r58, in.U8());
        }
        case 6:
            return bridge.SetCpuTemperature(Signed(in.U8()));
        case 7: {
            const uint8_t reg = in.U8();
            return bridge.SetSensorRegister(reg, in.U8());
        }
        case 8:
            return bridge.SetSensorPresent(in.U8() & 1);
        case 9: {
            const int count = Signed(in.U8());
            return bridge.HangTransactions(count, in.U8());
        }
        case 10:
            return bridge.CollideOnStart(Signed(in.U8()));
        case 11:
            return bridge.CollideInStatus(Signed(in.U8()));
        case 12:
            return bridge.CollideAfterData(Signed(in.U8()));
        case 13:
            return bridge.HoldBusState(Signed(in.U8()));
        case 14:
            return bridge.SetGpio(in.U32());
        case 15:
            return bridge.SetTransactionDelay(sim::Us(in.U16()));
        case 20:
            return bridge.SetIoBase(in.U16());
        default: {
            const uint16_t vendor = in.U16();
            return bridge.SetIds(vendor, in.U16());
        }
    }
}

void OneStep(fuzzdrv::DriverHarness& h, fuzzdrv::Reader& in)
{
    const uint8_t op = in.U8() % 22;
    switch (op) {
        case 16:
            return sim::Sleep(sim::Ms(in.U16() % 4096)); // a few polls at most: the target stays fast
        case 17:
            return ReadSensor(h, in.U8());
        case 18: {
            const uint8_t control_class = in.U8();
            return ReadControl(h, control_class, in.U8());
        }
        case 19:
            return QueryBlock(h);
        default:
            return Chip(h.board(), op, in);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzdrv::DriverHarness& h = fuzzdrv::DriverHarness::Get();
    h.Begin(data, size);
    Calm(h.board());
    fuzzdrv::Reader in(data, size);
    for (int i = 0; i < 64 && !in.empty(); i++) {
        OneStep(h, in);
    }
    CheckPublished(h.machine());
    h.End();
    return 0;
}
