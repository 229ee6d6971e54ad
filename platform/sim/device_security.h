// The security QUAV's package gives the device: the one source of the INF's .HW AddReg (tools/quavinf
// writes these into quav.inf) and of what the simulation's PnP manager applies when it installs a device.
// On Windows the PnP manager reads the device's Security and DeviceCharacteristics properties, which the
// INF's AddReg wrote, and applies them to every device object of the stack once AddDevice has built it;
// the driver's own IoCreateDevice arguments are overridden.
#pragma once

#include <cstdint>
#include <string_view>

namespace sim {

// A protected DACL (no inherited entries) granting all access to SYSTEM and the Administrators group,
// and so nothing to anyone else: the device's requests drive fans and board signals.
inline constexpr std::string_view kPackageDeviceSecurity = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
// FILE_DEVICE_SECURE_OPEN: the same security holds for names below the device ("\\.\QUAVDSL\x"), which
// the I/O manager would otherwise leave to the driver.
inline constexpr uint32_t kPackageDeviceCharacteristics = 0x00000100;

// Which of the simulation's callers a security descriptor lets open a device. An administrator's token
// holds Administrators (BA), Users (BU), Everyone (WD), Authenticated Users (AU) and Interactive (IU); an
// ordinary user's the same without BA. Kernel-mode opens are not checked.
struct DeviceAccess {
    bool administrators = true;
    bool users = true;
    bool operator==(const DeviceAccess&) const = default;
};

// The access an SDDL string grants: its DACL's entries in order, the first that names a group of the
// caller's token deciding (A allows, D denies); a caller no entry names is denied. No DACL at all grants
// everyone. Anything else than "D:", flags P/AI/AR, and entries "(A|D;flags;rights;;;SID)" with one of
// the SIDs above or SY throws std::invalid_argument naming what it could not read.
DeviceAccess ParseDeviceSecurity(std::string_view sddl);

} // namespace sim
