#include "user.h"

#include "machine.h"

namespace sim {

NTSTATUS UserClient::Open(std::u16string path, HANDLE* handle)
{
    std::u16string nt;
    if (path.starts_with(u"\\\\.\\") || path.starts_with(u"\\\\?\\")) {
        nt = u"\\??\\" + path.substr(4);
    } else if (path.starts_with(u"\\") && !path.starts_with(u"\\\\")) {
        nt = std::move(path);
    } else {
        return STATUS_OBJECT_NAME_NOT_FOUND; // a file-system path: no file systems here
    }
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status = Machine::Current().io().OpenFile(nt, administrator_, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard lk(mu_);
    const uintptr_t value = next_handle_;
    next_handle_ += 4;
    handles_[value] = file;
    *handle = reinterpret_cast<HANDLE>(value);
    return status;
}

PFILE_OBJECT UserClient::Lookup(HANDLE handle) const
{
    std::lock_guard lk(mu_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it != handles_.end() ? it->second : nullptr;
}

NTSTATUS UserClient::DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG in_size, void* out,
                                     ULONG out_size, ULONG* returned)
{
    PFILE_OBJECT file = Lookup(handle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return Machine::Current().io().DeviceControl(file, code, in, in_size, out, out_size, returned);
}

NTSTATUS UserClient::Close(HANDLE handle)
{
    PFILE_OBJECT file;
    {
        std::lock_guard lk(mu_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        file = it->second;
        handles_.erase(it);
    }
    return Machine::Current().io().CloseFile(file);
}

size_t UserClient::OpenHandles() const
{
    std::lock_guard lk(mu_);
    return handles_.size();
}

} // namespace sim
