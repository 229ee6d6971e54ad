// What the driver's fuzz targets share: one simulated machine per process, running the built-in driver on
// the emulated board, and one device lifetime per batch of inputs.
//
// A lifetime: the driver loaded (DriverEntry), its device added and started, a handle opened; then
// kInputsPerLifetime inputs, each followed by a little virtual time so that the monitor thread's polls
// interleave with the requests; then the handle closed, the device removed and the driver unloaded. At
// each unload the harness checks what a driver must leave behind: no verifier report, no pool (the
// registry path copy lives until the unload), no global pointing into freed memory, none of the hardware
// locks held. The next load starts from the module's data as the image gave it, as a fresh mapping of
// quav.sys would on Windows; the board is powered on afresh with it.
//
// Inputs are byte streams read field by field with Reader: a field past the end reads as zeros, so that
// every input means something. Each target documents its own layout.
//
// A fault may need the inputs before it in its lifetime. With QUAV_FUZZ_HISTORY=FILE set, the harness
// keeps the current lifetime's inputs in FILE (rewritten at each lifetime's start); running the target
// with QUAV_FUZZ_REPLAY=FILE runs them again, in order, in one lifetime, and exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "sim/sim.h"
#include "sim/user.h"

namespace fuzzdrv {

// Prints "property broken: <property>" and the detail, and aborts: libFuzzer keeps the input.
[[noreturn]] void Broken(const char* property, const std::string& detail);

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
    uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
    // `n` bytes, zeros past the end of the input.
    std::vector<uint8_t> Bytes(size_t n);

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class DriverHarness {
public:
    static constexpr int kInputsPerLifetime = 64;

    // The process's harness, made at the first call; torn down at exit.
    static DriverHarness& Get();

    // Brackets one input: Begin brings a lifetime up when none runs; End checks that no verifier report
    // was made, lets a little virtual time pass and ends the lifetime after its last input.
    void Begin(const uint8_t* data, size_t size);
    void End();

    sim::Machine& machine() { return *machine_; }
    board::Board& board() { return *board_; }
    PDEVICE_OBJECT Fdo() const;
    NTSTATUS Ioctl(ULONG code, const void* in, ULONG in_size, void* out, ULONG out_size, ULONG* returned);
    // The lifetime and the input in it, for the detail of a broken property.
    std::string Where() const;

    DriverHarness(const DriverHarness&) = delete;
    DriverHarness& operator=(const DriverHarness&) = delete;
    ~DriverHarness();

private:
    DriverHarness();
    void BringUp();
    void TearDown();
    void CheckModuleStateAtUnload();
    void Record(const uint8_t* data, size_t size);

    std::unique_ptr<sim::Machine> machine_;
    std::optional<board::Board> board_;
    std::optional<sim::AttachedThread> thread_;
    sim::UserClient user_{true};
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    HANDLE handle_ = nullptr;
    int input_ = 0; // inputs run in this lifetime
    uint64_t lifetimes_ = 0;
    std::string history_; // QUAV_FUZZ_HISTORY
};

// One input of a request target: up to 32 requests, each taken from the input by `one(harness, reader)`.
template <typename OneRequest>
int RunRequests(const uint8_t* data, size_t size, OneRequest one)
{
    DriverHarness& h = DriverHarness::Get();
    h.Begin(data, size);
    Reader in(data, size);
    for (int i = 0; i < 32 && !in.empty(); i++) {
        one(h, in);
    }
    h.End();
    return 0;
}

} // namespace fuzzdrv
