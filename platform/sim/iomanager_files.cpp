// The I/O manager's files, as the user-mode side opens them: the create, device controls, and the cleanup
// and close.
//
// A device control's buffers reach the driver as Windows builds them, by the code's transfer method:
//   METHOD_BUFFERED    one system buffer from the pool (AssociatedIrp.SystemBuffer) of the larger of the
//                      two lengths, the input copied in and IoStatus.Information bytes copied back out;
//   METHOD_IN_DIRECT,  the input in a system buffer, the output buffer described by an MDL (MdlAddress)
//   METHOD_OUT_DIRECT  for the driver to map; nothing is copied back: the driver wrote in place. The MDL
//                      is a stand-in that only says the buffer exists: this driver never maps one;
//   METHOD_NEITHER     the caller's pointers untouched: the input in Parameters.DeviceIoControl.
//                      Type3InputBuffer, the output in Irp->UserBuffer, no system buffer.
#include "iomanager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format.h"
#include "iomanager_records.h"
#include "pool.h"
#include "text.h"
#include "scheduler.h"

namespace sim {
namespace {

constexpr uint32_t kSystemBufferTag = 0x66427249; // "IrBf": buffered I/O's system buffers

bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// Whether a driver on the way marked the request pending (IoMarkIrpPending) and returned, keeping it.
bool Pended(PIRP irp)
{
    const auto* locations = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
    for (CCHAR i = 0; i < irp->StackCount; i++) {
        if (locations[i].Control & SL_PENDING_RETURNED) {
            return true;
        }
    }
    return false;
}

} // namespace

NTSTATUS IoManager::OpenFile(std::u16string_view path, bool administrator, PFILE_OBJECT* file)
{
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT top = nullptr;
    FileRecord* f = nullptr;
    {
        std::lock_guard lk(mu_);
        std::u16string rest;
        if (!ResolveLocked(CanonicalName(path), &device, &rest)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        DeviceRecord& d = *devices_.at(device);
        if (device->Flags & DO_DEVICE_INITIALIZING) {
            return STATUS_NO_SUCH_DEVICE;
        }
        // A name inside the device's namespace is the driver's business unless the device asks the
        // I/O manager to apply its own security there too.
        const bool checked = rest.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN);
        if (checked && !(administrator ? d.access.administrators : d.access.users)) {
            return STATUS_ACCESS_DENIED;
        }
        if ((device->Flags & DO_EXCLUSIVE) && d.open_files > 0) {
            return STATUS_ACCESS_DENIED;
        }
        d.open_files++;
        top = TopLocked(device);
        auto fr = std::make_unique<FileRecord>();
        f = fr.get();
        f->name = std::move(rest);
        f->object.Type = kTypeFile;
        f->object.Size = sizeof(FILE_OBJECT);
        f->object.DeviceObject = device;
        f->object.FileName = {static_cast<USHORT>(f->name.size() * sizeof(WCHAR)),
                              static_cast<USHORT>(f->name.size() * sizeof(WCHAR)), f->name.data()};
        files_[&f->object] = std::move(fr);
    }
    PIRP irp = UserIrp(top, &f->object, IRP_MJ_CREATE);
    const NTSTATUS status = Send(top, irp);
    FreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        std::lock_guard lk(mu_);
        ForgetFileLocked(&f->object);
        return status;
    }
    *file = &f->object;
    return status;
}

NTSTATUS IoManager::DeviceControl(PFILE_OBJECT file, ULONG code, const void* in, ULONG in_size, void* out,
                                  ULONG out_size, ULONG* returned)
{
    if (returned != nullptr) {
        *returned = 0;
    }
    PDEVICE_OBJECT top;
    {
        std::lock_guard lk(mu_);
        auto it = files_.find(file);
        if (it == files_.end() || it->second->handle_closed) {
            return STATUS_INVALID_HANDLE;
        }
        it->second->references++; // the request's, taken with the handle's lookup
        // A deleted device still gets the requests of files open on it: its driver refuses them.
        top = TopLocked(file->DeviceObject);
    }
    const ULONG method = code & 3;
    ControlBuffers b{code, in_size, out_size};
    ControlMdl mdl{out, out_size};
    NTSTATUS status = STATUS_SUCCESS;
    if (method == METHOD_NEITHER) {
        b.type3 = const_cast<void*>(in);
        b.user = out;
    } else {
        const ULONG size = method == METHOD_BUFFERED ? std::max(in_size, out_size) : in_size;
        if (size != 0) {
            b.system = pool_.Allocate(NonPagedPool, size, kSystemBufferTag);
            if (b.system == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else if (in_size != 0) {
                std::memcpy(b.system, in, in_size);
            }
        }
        b.user = out;
        b.mdl = method != METHOD_BUFFERED && out_size != 0 ? &mdl : nullptr;
    }
    if (NT_SUCCESS(status)) {
        ULONG_PTR information = 0;
        status = SendControl(file, top, b, &information);
        if (!IsError(status)) {
            if (information > out_size) {
                char text[160];
                std::snprintf(
                    text, sizeof text,
                    "device control 0x%08X completed with IoStatus.Information %lu, more than its %u-byte "
                    "output buffer",
                    code, information, out_size);
                Report(text);
            }
            const ULONG copied = static_cast<ULONG>(std::min<ULONG_PTR>(information, out_size));
            if (method == METHOD_BUFFERED && copied != 0) {
                std::memcpy(out, b.system, copied);
            }
            if (returned != nullptr) {
                *returned = copied;
            }
        }
    }
    if (b.system != nullptr) {
        pool_.Free(b.system, nullptr);
    }
    ReleaseFile(file);
    return status;
}

// Sends the device control and waits for it; the file lists it while it is in flight.
NTSTATUS IoManager::SendControl(PFILE_OBJECT file, PDEVICE_OBJECT top, const ControlBuffers& b,
                                ULONG_PTR* information)
{
    PIRP irp = UserIrp(top, file, IRP_MJ_DEVICE_CONTROL);
    irp->AssociatedIrp.SystemBuffer = b.system;
    irp->UserBuffer = b.user;
    irp->MdlAddress = b.mdl;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.OutputBufferLength = b.out_size;
    next->Parameters.DeviceIoControl.InputBufferLength = b.in_size;
    next->Parameters.DeviceIoControl.IoControlCode = b.code;
    next->Parameters.DeviceIoControl.Type3InputBuffer = b.type3;
    {
        std::lock_guard lk(mu_);
        files_.at(file)->requests.push_back({irp, top, b.code});
    }
    const NTSTATUS status = Send(top, irp);
    const std::optional<IO_STATUS_BLOCK> final = FinalStatus(irp); // none when abandoned
    *information = final ? final->Information : 0;
    {
        std::lock_guard lk(mu_);
        std::vector<FileRequest>& requests = files_.at(file)->requests;
        std::erase_if(requests, [irp](const FileRequest& r) { return r.irp == irp; });
    }
    FreeIrp(irp);
    return status;
}

NTSTATUS IoManager::CloseFile(PFILE_OBJECT file)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard lk(mu_);
        auto it = files_.find(file);
        if (it == files_.end() || it->second->handle_closed) {
            return STATUS_INVALID_HANDLE;
        }
        it->second->handle_closed = true;
        top = TopLocked(file->DeviceObject);
    }
    // The last handle is gone: the driver cleans up, and cancels what it keeps queued for the file.
    PIRP irp = UserIrp(top, file, IRP_MJ_CLEANUP);
    Send(top, irp);
    FreeIrp(irp);
    ReleaseFile(file);
    return STATUS_SUCCESS;
}

// Drops one of the file's references. The last one sends IRP_MJ_CLOSE, on the calling thread, to the
// top of the stack as it is now, and forgets the file.
void IoManager::ReleaseFile(PFILE_OBJECT file)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::lock_guard lk(mu_);
        if (--files_.at(file)->references > 0) {
            return;
        }
        top = TopLocked(file->DeviceObject);
    }
    PIRP irp = UserIrp(top, file, IRP_MJ_CLOSE);
    Send(top, irp);
    FreeIrp(irp);
    std::lock_guard lk(mu_);
    ForgetFileLocked(file);
}

// A request from the user-mode side about the file, for the top of its device's stack.
PIRP IoManager::UserIrp(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major)
{
    PIRP irp = AllocateIrp(top->StackSize);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    return irp;
}

// The file's record goes; a deleted device goes with its last file, and a stack's last file wakes whoever
// waits for it. Setting an event never gives the processor up, so it may be done under the lock.
void IoManager::ForgetFileLocked(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    files_.erase(file);
    DeviceRecord& d = *devices_.at(device);
    if (--d.open_files == 0 && d.deleted && d.references == 0) {
        FreeDeviceLocked(device);
    }
    std::erase_if(stack_close_waiters_, [this](const std::pair<PDEVICE_OBJECT, KEVENT*>& w) {
        if (OpenFilesOnStackLocked(w.first) != 0) {
            return false;
        }
        scheduler_.SetEvent(w.second);
        return true;
    });
}

size_t IoManager::OpenFilesOnStackLocked(PDEVICE_OBJECT pdo) const
{
    size_t open = 0;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
        auto it = devices_.find(d);
        open += it != devices_.end() ? static_cast<size_t>(it->second->open_files) : 0;
    }
    return open;
}

size_t IoManager::OpenFilesOnStack(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lk(mu_);
    return OpenFilesOnStackLocked(pdo);
}

size_t IoManager::SignalWhenStackClosed(PDEVICE_OBJECT pdo, KEVENT* event)
{
    size_t open;
    {
        std::lock_guard lk(mu_);
        open = OpenFilesOnStackLocked(pdo);
        if (open != 0) {
            stack_close_waiters_.emplace_back(pdo, event);
            return open;
        }
    }
    scheduler_.SetEvent(event);
    return 0;
}

// A request on a file that a driver pended and still keeps when the device it was sent to is deleted:
// the removal should have completed it, and now nothing will, so its sender waits for ever and the
// file's IRP_MJ_CLOSE never comes. A request still inside a dispatch routine is left alone: it may yet be
// refused there, by a remove lock that removal has closed.
void IoManager::ReportPendingFileRequestsLocked(PDEVICE_OBJECT device)
{
    for (const auto& [file, f] : files_) {
        for (const FileRequest& r : f->requests) {
            auto irp = irps_.find(r.irp);
            if (r.top != device || irp == irps_.end() || irp->second->completed || !Pended(r.irp)) {
                continue;
            }
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", r.code);
            Report("IoDeleteDevice on " + NameLocked(device) + " while device control " + code + " (IRP " +
                   Pointer(r.irp) + ") on the file " + NameLocked(file->DeviceObject) +
                   Utf8FromUtf16(f->name) +
                   " is still pending: nothing will complete it, so the file's IRP_MJ_CLOSE never comes" +
                   (f->handle_closed ? " (its handle is closed and IRP_MJ_CLEANUP was sent)" : ""));
        }
    }
}

} // namespace sim
