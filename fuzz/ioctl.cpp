// Device-control requests from a client of the running driver, through the simulated I/O manager, while
// the monitor thread polls. An input is a sequence of requests, each:
//   byte   code: 0-5 the driver's six codes; 6 one of them with another transfer method (bits 3-4 of this
//          byte); 7 any code (a 32-bit field follows)
//   u16    input size (modulo 1024)     u16 output size (modulo 1024)
//   byte   virtual time before the request, in 8 ms steps
//   ...    the input buffer's bytes (zeros past the end of the input)
// Properties: nothing is written past the output buffer; IoStatus.Information (what comes back) is at most
// the output size; a request succeeds only with one of the driver's buffered codes and buffers as large
// as the code's records (driver/quavpub.h), and then returns exactly the output record; a refused request
// returns nothing and leaves the output as it was; no verifier report.
#include <array>
#include <cstring>

#include "driver_harness.h"
#include "quav.h"

namespace {

struct Code {
    ULONG code;
    ULONG in;  // the input it needs
    ULONG out; // the output it needs, and returns on success
};

const std::array<Code, 6> kCodes = {{
    {IOCTL_QUAV_NOP1, 0, 0},
    {IOCTL_QUAV_NOP2, 0, 0},
    {IOCTL_QUAV_READ_SENSOR, sizeof(SENSOR_RECORD), sizeof(SENSOR_RECORD)},
    {IOCTL_QUAV_SET_FAN_PWM, sizeof(SENSOR_RECORD) + sizeof(ULONG), sizeof(SENSOR_RECORD)},
    {IOCTL_QUAV_READ_CONTROL, sizeof(CONTROL_RECORD), sizeof(CONTROL_RECORD)},
    {IOCTL_QUAV_SET_CONTROL, sizeof(CONTROL_RECORD) + sizeof(ULONG), sizeof(CONTROL_RECORD)},
}};

constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kUntouched = 0xEE;

const Code* Find(ULONG code)
{
    for (const Code& c : kCodes) {
        if (c.code == code) {
            return &c;
        }
    }
    return nullptr;
}

std::string Describe(ULONG code, ULONG in_size, ULONG out_size, NTSTATUS status, ULONG returned)
{
    char text[160];
    std::snprintf(text, sizeof text, "code 0x%08X, input %u, output %u: status 0x%08X, %u bytes back",
                  static_cast<unsigned>(code), static_cast<unsigned>(in_size),
                  static_cast<unsigned>(out_size), static_cast<unsigned>(status),
                  static_cast<unsigned>(returned));
    return text;
}

ULONG PickCode(fuzzdrv::Reader& in)
{
    const uint8_t pick = in.U8();
    const uint8_t which = pick & 7;
    if (which < kCodes.size()) {
        return kCodes[which].code;
    }
    if (which == 6) {
        return kCodes[(pick >> 5) % kCodes.size()].code | ((pick >> 3) & 3);
    }
    return in.U32();
}

void OneRequest(fuzzdrv::DriverHarness& h, fuzzdrv::Reader& in)
{
    const ULONG code = PickCode(in);
    const ULONG in_size = in.U16() % 1024;
    const ULONG out_size = in.U16() % 1024;
    sim::Sleep(sim::Ms(8) * in.U8());
    const std::vector<uint8_t> input = in.Bytes(in_size);
    std::vector<uint8_t> output(out_size + kGuard, kGuardByte);
    std::memset(output.data(), kUntouched, out_size);
    ULONG returned = 0xDEADBEEF;
    const NTSTATUS status = h.Ioctl(code, in_size != 0 ? input.data() : nullptr, in_size,
                                    out_size != 0 ? output.data() : nullptr, out_size, &returned);
    const std::string what = Describe(code, in_size, out_size, status, returned) + "; " + h.Where();
    for (size_t i = out_size; i < output.size(); i++) {
        if (output[i] != kGuardByte) {
            fuzzdrv::Broken("nothing is written past the output buffer", what);
        }
    }
    if (returned > out_size) {
        fuzzdrv::Broken("the bytes returned fit the output buffer", what);
    }
    if (status == STATUS_PENDING) {
        fuzzdrv::Broken("every request completes", what);
    }
    const bool error = (static_cast<ULONG>(status) >> 30) == 3;
    if (error) {
        bool untouched = returned == 0;
        for (size_t i = 0; i < out_size; i++) {
            untouched = untouched && output[i] == kUntouched;
        }
        if (!untouched) {
            fuzzdrv::Broken("a refused request returns nothing", what);
        }
    }
    if (!NT_SUCCESS(status)) {
        return;
    }
    const Code* known = Find(code);
    if (known == nullptr) {
        fuzzdrv::Broken("only the driver's buffered codes succeed", what);
    }
    if (in_size < known->in || out_size < known->out) {
        fuzzdrv::Broken("a request succeeds only with buffers as large as its records", what);
    }
    if (returned != known->out) {
        fuzzdrv::Broken("a successful request returns its output record", what);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return fuzzdrv::RunRequests(data, size, OneRequest);
}
