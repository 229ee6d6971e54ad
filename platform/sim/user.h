// The user-mode side of the machine: a program opening the driver's device and sending it device-control
// requests, as CreateFile / DeviceIoControl / CloseHandle would. Every call runs on the calling
// (attached) thread, and many threads may use one client at once.
//
// Paths are Win32 device paths: "\\.\QUAVDSL" is "\DosDevices\QUAVDSL" (and "\\?\..." the same, as the
// link names of device interfaces are handed out); "\\.\QUAVDSL\x" opens the file "\x" inside the device's
// namespace. A path starting with a single backslash is taken as an object-namespace path.
//
// Handles left open are not closed for the client: closing sends requests, which needs a simulated thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform.h"

namespace sim {

class UserClient {
public:
    explicit UserClient(bool administrator) : administrator_(administrator) {}
    UserClient(const UserClient&) = delete;
    UserClient& operator=(const UserClient&) = delete;

    NTSTATUS Open(std::u16string path, HANDLE* handle);
    // Buffers by the code's transfer method (IoManager::DeviceControl); at most out_size bytes come back
    // and `returned` says how many.
    NTSTATUS DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG in_size, void* out,
                             ULONG out_size, ULONG* returned);
    // IRP_MJ_CLEANUP; IRP_MJ_CLOSE follows when the handle's requests in flight have completed.
    NTSTATUS Close(HANDLE handle);
    size_t OpenHandles() const;

private:
    PFILE_OBJECT Lookup(HANDLE handle) const;

    bool administrator_;
    mutable std::mutex mu_;
    std::map<uintptr_t, PFILE_OBJECT> handles_;
    uintptr_t next_handle_ = 4;
};

} // namespace sim
