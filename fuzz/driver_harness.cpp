#include "driver_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/quavpnp.h"
#include "hardware/chipset.h"
#include "hardware/superio.h"
#include "quavmsg_table.h"
#include "sim/pnp.h"

namespace fuzzdrv {

namespace {

constexpr const char16_t* kServicePath = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\QUAV";

// Polled every second, so that a batch of inputs sees polls between its requests.
constexpr const char* kConfiguration = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Parameters]
"POLLING_INTERVAL"=dword:00000001
"CURRENT_STAGE"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\FAN]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\THERMAL]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\QUAV\Current\VOLTAGE]
)";

// Virtual time after each input: a poll every few inputs.
constexpr sim::Ticks kAfterInput = sim::Ms(150);

// The driver's writable data as the image holds it before the first DriverEntry.
struct ModuleImage {
    SIO_STATE sio;
    CHIPSET_STATE chipset;
};
ModuleImage loaded_image;

template <typename T>
bool AllZero(const T& value)
{
    static const T zero{};
    return std::memcmp(&value, &zero, sizeof(T)) == 0;
}

bool Held(const KMUTEX& mutex)
{
    return mutex.OwnerThread != nullptr;
}

void Check(NTSTATUS status, const char* what)
{
    if (status != STATUS_SUCCESS) {
        char text[96];
        std::snprintf(text, sizeof text, "%s: status 0x%08X", what, static_cast<unsigned>(status));
        Broken("the driver comes up on a sound board", text);
    }
}

} // namespace

void Broken(const char* property, const std::string& detail)
{
    std::fprintf(stderr, "property broken: %s\n%s\n", property, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<uint8_t> Reader::Bytes(size_t n)
{
    std::vector<uint8_t> out(n, 0);
    const size_t have = pos_ < size_ ? std::min(n, size_ - pos_) : 0;
    if (have != 0) {
        std::memcpy(out.data(), data_ + pos_, have);
    }
    pos_ += have;
    return out;
}

DriverHarness& DriverHarness::Get()
{
    static DriverHarness* harness = [] {
        auto* h = new DriverHarness();
        // The machine's threads must be gone before the process's statics are: tear down at exit.
        std::atexit([] { delete &Get(); });
        return h;
    }();
    return *harness;
}

DriverHarness::DriverHarness()
{
    std::memcpy(&loaded_image.sio, &g_SioState, sizeof g_SioState);
    std::memcpy(&loaded_image.chipset, &g_ChipsetState, sizeof g_ChipsetState);
    machine_ = std::make_unique<sim::Machine>();
    // A report stops the process at once, with the stack of the code that made it.
    machine_->verifier().SetAbortOnReport(true);
    machine_->registry().ImportReg(kConfiguration);
    thread_.emplace("fuzz");
    if (const char* history = std::getenv("QUAV_FUZZ_HISTORY")) {
        history_ = history;
    }
}

DriverHarness::~DriverHarness()
{
    if (driver_ != nullptr) {
        TearDown();
    }
    if (machine_->wmi().PendingRegInfo() > 0) {
        sim::Yield();
    }
    thread_.reset();
    board_.reset();
    machine_.reset();
}

void DriverHarness::BringUp()
{
    board_.reset();
    board_.emplace(machine_->bus());
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = machine_->io().LoadDriver("QUAV", DriverEntry, kServicePath, &status, kQuavMessages);
    Check(status, "load");
    pdo_ = machine_->pnp().AddDevice(driver_, &status);
    Check(status, "add");
    Check(machine_->pnp().Start(pdo_), "start");
    Check(user_.Open(u"" QUAV_USER_PATH_TEXT, &handle_), "open");
    input_ = 0;
    lifetimes_++;
}

void DriverHarness::TearDown()
{
    if (handle_ != nullptr) {
        user_.Close(handle_);
        handle_ = nullptr;
    }
    if (Fdo() != nullptr) {
        machine_->pnp().Remove(pdo_);
    }
    machine_->io().UnloadDriver(driver_);
    driver_ = nullptr;
    pdo_ = nullptr;
    if (machine_->wmi().PendingRegInfo() > 0) {
        sim::Yield();
    }
    CheckModuleStateAtUnload();
    // The next load maps the image afresh.
    std::memcpy(&g_SioState, &loaded_image.sio, sizeof g_SioState);
    std::memcpy(&g_ChipsetState, &loaded_image.chipset, sizeof g_ChipsetState);
}

void DriverHarness::CheckModuleStateAtUnload()
{
    if (machine_->pool().OutstandingTotal() != 0) {
        Broken("the pool is back to zero at unload",
               std::to_string(machine_->pool().OutstandingTotal()) + " allocations left; " + Where());
    }
    if (g_DeviceExtension != nullptr) {
        Broken("no global points into a deleted device at unload", "g_DeviceExtension; " + Where());
    }
    if (!AllZero(RegistryPathCopy)) {
        Broken("the registry path copy is gone at unload", Where());
    }
    if (Held(g_SioState.SioMutex) || Held(g_ChipsetState.ChipsetMutex) || Held(g_ChipsetState.SensorMutex)) {
        Broken("no hardware lock is held at unload", Where());
    }
    if (machine_->verifier().Count() != 0) {
        Broken("no verifier report at unload", Where());
    }
}

void DriverHarness::Begin(const uint8_t* data, size_t size)
{
    if (driver_ == nullptr) {
        BringUp();
    }
    Record(data, size);
}

// Each input as its 32-bit length and its bytes; the file starts afresh with each lifetime.
void DriverHarness::Record(const uint8_t* data, size_t size)
{
    if (history_.empty()) {
        return;
    }
    std::FILE* f = std::fopen(history_.c_str(), input_ == 0 ? "wb" : "ab");
    if (f == nullptr) {
        return;
    }
    const auto length = static_cast<uint32_t>(size);
    std::fwrite(&length, sizeof length, 1, f);
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void DriverHarness::End()
{
    sim::Sleep(kAfterInput);
    if (machine_->verifier().Count() != 0) {
        Broken("no verifier report after an input", Where());
    }
    if (++input_ >= kInputsPerLifetime) {
        TearDown();
    }
}

PDEVICE_OBJECT DriverHarness::Fdo() const
{
    if (pdo_ == nullptr) {
        return nullptr;
    }
    PDEVICE_OBJECT top = machine_->io().AttachedTop(pdo_);
    return top != pdo_ && top != nullptr && machine_->io().Exists(top) ? top : nullptr;
}

NTSTATUS DriverHarness::Ioctl(ULONG code, const void* in, ULONG in_size, void* out, ULONG out_size,
                              ULONG* returned)
{
    return user_.DeviceIoControl(handle_, code, in, in_size, out, out_size, returned);
}

std::string DriverHarness::Where() const
{
    return "lifetime " + std::to_string(lifetimes_) + ", input " + std::to_string(input_) + " of it";
}

} // namespace fuzzdrv

// A recorded lifetime (QUAV_FUZZ_REPLAY) runs before libFuzzer starts, and ends the process.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* replay = std::getenv("QUAV_FUZZ_REPLAY");
    if (replay == nullptr) {
        return 0;
    }
    std::FILE* f = std::fopen(replay, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot read %s\n", replay);
        std::exit(1);
    }
    uint32_t length = 0;
    int inputs = 0;
    while (std::fread(&length, sizeof length, 1, f) == 1) {
        std::vector<uint8_t> input(length);
        if (std::fread(input.data(), 1, length, f) != length) {
            break;
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        inputs++;
    }
    std::fclose(f);
    std::fprintf(stderr, "replayed %d inputs from %s: no property broken\n", inputs, replay);
    std::exit(0);
}
