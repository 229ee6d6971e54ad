// A small, correct function driver for the platform's own tests, and the fixture that loads it. Each test
// that proves a platform check breaks exactly one rule: it picks one of the flaws below, or puts its own
// broken routine, written beside the test, in one slot of the driver's dispatch table.
#pragma once

#include <string>

#include "sim/pnp.h"
#include "sim_test.h"

namespace small_driver {

enum class Flaw { None, KeepsInitializing, FailsRemove, KeepsDevice };

// The device extension: only the device the small driver attached to.
PDEVICE_OBJECT Lower(PDEVICE_OBJECT fdo);
// Skips the current stack location and calls the lower driver (IoCallDriver).
NTSTATUS NTAPI PassDown(PDEVICE_OBJECT fdo, PIRP irp);
// Completes the request with `status` and no information; returns `status`.
NTSTATUS Complete(PIRP irp, NTSTATUS status);
// Skips the current stack location and passes the power request down (PoCallDriver).
NTSTATUS NTAPI PoPassDown(PDEVICE_OBJECT fdo, PIRP irp);
// The name of the thread running now.
std::string ThreadName();
// The verifier's report count now: a broken routine notes it at its misuse, to prove the report came at
// the call and not once the request was back with its sender.
size_t ReportsNow();

} // namespace small_driver

class SmallDriverTest : public SimTest {
protected:
    void SetUp() override;

    sim::PnpManager& pnp() { return machine_.pnp(); }
    // A device node of the small driver: its physical device object, with the driver's device on it.
    PDEVICE_OBJECT AddNode();
    // The small driver's device object on `pdo`.
    PDEVICE_OBJECT Fdo(PDEVICE_OBJECT pdo) { return pdo->AttachedDevice; }
    void SetFlaw(small_driver::Flaw flaw);
    int Unloads() const;

    PDRIVER_OBJECT driver_ = nullptr;
};
