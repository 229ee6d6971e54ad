// WMI requests to the running driver, every minor, through the platform's WMI service and the driver's
// WMI library path, while the monitor thread polls. An input is a sequence of requests, each:
//   byte   bits 0-3 the request: 0 query all data, 1 query single instance, 2 change single instance,
//          3 change single item, 4 execute method, 5/6 enable/disable events, 7/8 enable/disable
//          collection, 9/10 registration information (IRP_MN_REGINFO / IRP_MN_REGINFO_EX), sent as WMI
//          sends it; bits 4-5 the GUID: the sensor data block, the event, another provider's
//   byte   instance index (values above 3 mean 0)     byte method or item id
//   u16    buffer size (modulo 1024)                  byte input size
//   ...    the input bytes (a change's data, a method's input), zeros past the end of the input
// Properties: a too-small buffer gives STATUS_BUFFER_TOO_SMALL with the size that does (a WNODE_TOO_SMALL),
// and that size succeeds; what comes back fits the buffer; the data block is read-only and its one
// instance twelve entries; a method succeeds exactly for sensors 1-12 with methods 1 (nonzero) and 2 and
// the block then reports the limit; the registration information fits the buffer it was given; no
// verifier report.
#include <cstring>
#include <span>

#include "driver_harness.h"
#include "quav.h"

namespace {

const GUID kSensorData = QUAV_SENSOR_DATA_GUID_INIT;
const GUID kSensorEvent = QUAV_SENSOR_EVENT_GUID_INIT;
const GUID kOtherGuid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr uint32_t kBlockSize = SENSOR_COUNT * sizeof(SENSOR_DATA_ENTRY);
constexpr size_t kGuard = 32;

struct Request {
    unsigned kind;
    const GUID* guid;
    uint32_t instance;
    uint32_t id;
    uint32_t buffer_size;
    std::vector<uint8_t> input;
    std::string what;
};

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

void Require(bool holds, const char* property, const Request& r, NTSTATUS status,
             const std::string& more = {})
{
    if (!holds) {
        fuzzdrv::Broken(property, r.what + ": status " + Hex(status) + more + "; " +
                                      fuzzdrv::DriverHarness::Get().Where());
    }
}

// A query of the data block: all data or the single instance. A too-small buffer names a larger size
// that does; WMI asks again with it (twice at most: the service's own header check, then the
// provider's WNODE_TOO_SMALL).
void Query(sim::WmiService& wmi, const Request& r)
{
    const bool all = r.kind == 0;
    std::vector<uint8_t> data;
    uint32_t size = r.buffer_size;
    NTSTATUS status = STATUS_BUFFER_TOO_SMALL;
    std::string sizes = ", buffers";
    for (int round = 0; round < 4 && status == STATUS_BUFFER_TOO_SMALL; round++) {
        uint32_t needed = 0;
        sizes += " " + std::to_string(size);
        status = all ? wmi.QueryAllData(*r.guid, &data, size, &needed)
                     : wmi.QuerySingleInstance(*r.guid, r.instance, &data, size, &needed);
        if (status == STATUS_BUFFER_TOO_SMALL) {
            Require(needed > size, "a too-small buffer names a larger size", r, status,
                    ", buffer " + std::to_string(size) + ", needed " + std::to_string(needed));
            size = needed;
        }
    }
    Require(status != STATUS_BUFFER_TOO_SMALL, "the size a too-small answer names does", r, status, sizes);
    Require(status != STATUS_SUCCESS || r.guid == &kSensorData, "only the data block has data", r, status);
    const bool instance0 = all || r.instance == 0;
    Require(status != STATUS_SUCCESS || instance0, "the data block has one instance", r, status);
    Require(status == STATUS_SUCCESS || r.guid != &kSensorData || !instance0,
            "the data block answers a query of its instance", r, status);
    if (status == STATUS_SUCCESS) {
        Require(data.size() == kBlockSize, "the data block is twelve entries", r, status);
        Require(data.size() < size, "what comes back fits the buffer", r, status);
    }
}

SENSOR_DATA_ENTRY Entry(sim::WmiService& wmi, uint32_t sensor)
{
    std::vector<uint8_t> data;
    SENSOR_DATA_ENTRY entry{};
    if (wmi.QueryAllData(kSensorData, &data) == STATUS_SUCCESS && data.size() == kBlockSize) {
        std::memcpy(&entry, data.data() + (sensor - 1) * sizeof entry, sizeof entry);
    }
    return entry;
}

void Method(sim::WmiService& wmi, const Request& r)
{
    std::vector<uint8_t> out;
    uint32_t needed = 0;
    const NTSTATUS status =
        wmi.ExecuteMethod(*r.guid, r.instance, r.id, r.input, r.buffer_size, &out, &needed);
    SENSOR_METHOD_INPUT input{};
    if (r.input.size() >= sizeof input) {
        std::memcpy(&input, r.input.data(), sizeof input);
    }
    const bool sound = r.guid == &kSensorData && r.instance == 0 && r.input.size() >= sizeof input &&
                       input.SensorNumber >= 1 && input.SensorNumber <= SENSOR_COUNT &&
                       ((r.id == WMI_METHOD_SET_CRITICAL_UPPER && input.Value != 0) ||
                        r.id == WMI_METHOD_SET_CRITICAL_LOWER);
    Require((status == STATUS_SUCCESS) == sound, "a method succeeds exactly for a sound call", r, status);
    Require(out.size() <= std::max<size_t>(r.input.size(), r.buffer_size),
            "a method's output fits its buffer", r, status);
    if (sound) {
        const SENSOR_DATA_ENTRY e = Entry(wmi, input.SensorNumber);
        const LONG reported = r.id == WMI_METHOD_SET_CRITICAL_UPPER ? e.CriticalUpper : e.CriticalLower;
        Require(reported == input.Value, "the data block reports the limit a method set", r, status);
    }
}

// The registration information, asked for as the WMI service asks, with a buffer of the input's size
// and guard bytes after it.
void RegInfo(fuzzdrv::DriverHarness& h, const Request& r)
{
    PDEVICE_OBJECT fdo = h.Fdo();
    std::vector<uint8_t> buffer(r.buffer_size + kGuard, 0xA5);
    PIRP irp = h.machine().io().AllocateIrp(fdo->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = r.kind == 9 ? IRP_MN_REGINFO : IRP_MN_REGINFO_EX;
    stack->Parameters.WMI = {reinterpret_cast<ULONG_PTR>(fdo), nullptr, r.buffer_size, buffer.data()};
    const NTSTATUS status = h.machine().io().Send(fdo, irp);
    const std::optional<IO_STATUS_BLOCK> final = h.machine().io().FinalStatus(irp);
    h.machine().io().FreeIrp(irp);
    Require(final.has_value(), "every request completes", r, status);
    Require(final->Information <= r.buffer_size, "what comes back fits the buffer", r, status,
            ", information " + std::to_string(final->Information));
    for (size_t i = r.buffer_size; i < buffer.size(); i++) {
        Require(buffer[i] == 0xA5, "nothing is written past the buffer", r, status);
    }
    if (status == STATUS_SUCCESS) {
        ULONG size = 0;
        std::memcpy(&size, buffer.data(), sizeof size);
        Require(size <= r.buffer_size && final->Information == size,
                "the registration information fits the buffer and says its size", r, status);
    }
}

void OneRequest(fuzzdrv::DriverHarness& h, fuzzdrv::Reader& in)
{
    static const GUID* const guids[] = {&kSensorData, &kSensorEvent, &kOtherGuid, &kSensorData};
    const uint8_t op = in.U8();
    Request r{op & 15u, guids[(op >> 4) & 3], in.U8(), in.U8(), in.U16() % 1024u, {}, {}};
    r.instance = r.instance > 3 ? 0 : r.instance;
    r.input = in.Bytes(in.U8());
    r.what = "request " + std::to_string(r.kind) + ", guid " + std::to_string((op >> 4) & 3) + ", instance " +
             std::to_string(r.instance) + ", id " + std::to_string(r.id) + ", buffer " +
             std::to_string(r.buffer_size) + ", input " + std::to_string(r.input.size());
    sim::WmiService& wmi = h.machine().wmi();
    NTSTATUS status = STATUS_SUCCESS;
    switch (r.kind) {
        case 0:
        case 1:
            return Query(wmi, r);
        case 2:
            status = wmi.SetSingleInstance(*r.guid, r.instance, r.input);
            return Require(!NT_SUCCESS(status), "the data block is read-only", r, status);
        case 3:
            status = wmi.SetSingleItem(*r.guid, r.instance, r.id, r.input);
            return Require(!NT_SUCCESS(status), "the data block is read-only", r, status);
        case 4:
            return Method(wmi, r);
        case 5:
            status = wmi.EnableEvents(*r.guid);
            break;
        case 6:
            status = wmi.DisableEvents(*r.guid);
            break;
        case 7:
            status = wmi.EnableCollection(*r.guid);
            break;
        case 8:
            status = wmi.DisableCollection(*r.guid);
            break;
        default:
            return RegInfo(h, r);
    }
    Require(status != STATUS_PENDING, "every request completes", r, status);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzdrv::RunRequests(data, size, OneRequest);
}
