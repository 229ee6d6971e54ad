#if defined(_WIN32)

#include "device_transport.h"

#include <windows.h>
#include <winternl.h>
#include <wmistr.h>

#include <string>

#include "protocol.h"
#include "usermode.h"

// The WMI data-block routines of advapi32; no header of the toolchain declares them. They return Win32
// error codes.
extern "C" {
ULONG WINAPI WmiOpenBlock(GUID* Guid, ULONG DesiredAccess, PVOID* DataBlockHandle);
ULONG WINAPI WmiCloseBlock(PVOID DataBlockHandle);
ULONG WINAPI WmiQueryAllDataW(PVOID DataBlockHandle, PULONG BufferSize, PVOID Buffer);
ULONG WINAPI WmiExecuteMethodW(PVOID DataBlockHandle, LPCWSTR InstanceName, ULONG MethodId,
                               ULONG InputValueBufferSize, PVOID InputValueBuffer, ULONG* OutputBufferSize,
                               PVOID OutputBuffer);
}

namespace quavctl {

namespace {

constexpr ULONG kWmiGuidQuery = 0x0001;
constexpr ULONG kWmiGuidExecute = 0x0010;

// WMI answers in Win32 errors; quavctl reports statuses. The errors the driver's statuses become.
uint32_t StatusOfWin32Error(DWORD error)
{
    switch (error) {
        case ERROR_SUCCESS:
            return 0x00000000;
        case ERROR_INVALID_PARAMETER:
            return 0xC000000D; // STATUS_INVALID_PARAMETER
        case ERROR_INSUFFICIENT_BUFFER:
            return 0xC0000023; // STATUS_BUFFER_TOO_SMALL
        case ERROR_WMI_GUID_NOT_FOUND:
            return 0xC0000295; // STATUS_WMI_GUID_NOT_FOUND
        case ERROR_WMI_INSTANCE_NOT_FOUND:
            return 0xC0000296; // STATUS_WMI_INSTANCE_NOT_FOUND
        case ERROR_ACCESS_DENIED:
            return 0xC0000022; // STATUS_ACCESS_DENIED
        default:
            return 0xC0000001; // STATUS_UNSUCCESSFUL
    }
}

struct WmiBlock {
    PVOID handle = nullptr;
    ~WmiBlock()
    {
        if (handle != nullptr) {
            WmiCloseBlock(handle);
        }
    }
};

uint32_t OpenSensorBlock(ULONG access, WmiBlock* block)
{
    GUID guid = QUAV_SENSOR_DATA_GUID_INIT;
    return StatusOfWin32Error(WmiOpenBlock(&guid, access, &block->handle));
}

// The whole WNODE_ALL_DATA of the block.
uint32_t QueryAll(WmiBlock& block, std::vector<uint8_t>* wnode)
{
    ULONG size = 0;
    DWORD error = WmiQueryAllDataW(block.handle, &size, nullptr);
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        return StatusOfWin32Error(error);
    }
    wnode->assign(size, 0);
    return StatusOfWin32Error(WmiQueryAllDataW(block.handle, &size, wnode->data()));
}

// UTF-8 to the UTF-16 the registry's W functions take.
std::wstring Wide(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

} // namespace

DeviceTransport::DeviceTransport(std::string path) : path_(std::move(path)) {}

DeviceTransport::~DeviceTransport()
{
    if (device_ != nullptr) {
        CloseHandle(device_);
    }
}

uint32_t DeviceTransport::DeviceIoControl(uint32_t code, std::span<const uint8_t> in, uint32_t out_size,
                                          std::vector<uint8_t>* out)
{
    if (device_ == nullptr) {
        HANDLE h =
            CreateFileA(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            throw TransportError("cannot open " + path_ + ": Windows error " +
                                 std::to_string(GetLastError()) +
                                 " (is the QUAV driver installed and started?)");
        }
        device_ = h;
    }
    // The native call, so that the driver's own status comes back rather than a Win32 error.
    IO_STATUS_BLOCK io{};
    std::vector<uint8_t> input(in.begin(), in.end());
    out->assign(out_size, 0);
    NTSTATUS status = NtDeviceIoControlFile(
        device_, nullptr, nullptr, nullptr, &io, code, input.empty() ? nullptr : input.data(),
        static_cast<ULONG>(input.size()), out->empty() ? nullptr : out->data(), out_size);
    if (status == 0x00000103) { // STATUS_PENDING: the handle is synchronous, so this does not last
        WaitForSingleObject(device_, INFINITE);
        status = io.Status;
    }
    out->resize(NT_SUCCESS(status) ? static_cast<size_t>(io.Information) : 0);
    return static_cast<uint32_t>(status);
}

uint32_t DeviceTransport::WmiQuery(std::vector<uint8_t>* data)
{
    WmiBlock block;
    uint32_t status = OpenSensorBlock(kWmiGuidQuery, &block);
    std::vector<uint8_t> wnode;
    if (status == 0) {
        status = QueryAll(block, &wnode);
    }
    data->clear();
    if (status != 0 || wnode.size() < sizeof(WNODE_ALL_DATA)) {
        return status != 0 ? status : 0xC0000001;
    }
    // One instance of fixed size: the data starts at DataBlockOffset.
    const auto* all = reinterpret_cast<const WNODE_ALL_DATA*>(wnode.data());
    const size_t offset = all->DataBlockOffset;
    const size_t size = (all->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) != 0
                            ? all->FixedInstanceSize
                            : all->OffsetInstanceDataAndLength[0].LengthInstanceData;
    if (offset + size > wnode.size()) {
        return 0xC0000001;
    }
    data->assign(wnode.begin() + static_cast<ptrdiff_t>(offset),
                 wnode.begin() + static_cast<ptrdiff_t>(offset + size));
    return 0;
}

uint32_t DeviceTransport::WmiMethod(uint32_t method, std::span<const uint8_t> in, std::vector<uint8_t>* out)
{
    // A method runs on a named instance: the first (only) instance name of the block.
    WmiBlock block;
    uint32_t status = OpenSensorBlock(kWmiGuidQuery | kWmiGuidExecute, &block);
    std::vector<uint8_t> wnode;
    if (status == 0) {
        status = QueryAll(block, &wnode);
    }
    if (status != 0) {
        return status;
    }
    const auto* all = reinterpret_cast<const WNODE_ALL_DATA*>(wnode.data());
    if (wnode.size() < sizeof(WNODE_ALL_DATA) ||
        all->OffsetInstanceNameOffsets + sizeof(ULONG) > wnode.size()) {
        return 0xC0000001;
    }
    const ULONG name_offset = *reinterpret_cast<const ULONG*>(wnode.data() + all->OffsetInstanceNameOffsets);
    if (name_offset + sizeof(USHORT) > wnode.size()) {
        return 0xC0000001;
    }
    const USHORT name_bytes = *reinterpret_cast<const USHORT*>(wnode.data() + name_offset);
    if (name_offset + sizeof(USHORT) + name_bytes > wnode.size()) {
        return 0xC0000001;
    }
    std::wstring name(reinterpret_cast<const wchar_t*>(wnode.data() + name_offset + sizeof(USHORT)),
                      name_bytes / sizeof(wchar_t));
    std::vector<uint8_t> input(in.begin(), in.end());
    ULONG out_size = static_cast<ULONG>(input.size());
    out->assign(out_size, 0);
    status = StatusOfWin32Error(WmiExecuteMethodW(block.handle, name.c_str(), method,
                                                  static_cast<ULONG>(input.size()), input.data(), &out_size,
                                                  out->data()));
    out->resize(status == 0 ? out_size : 0);
    return status;
}

EventBatch DeviceTransport::Events(uint32_t)
{
    // Reading the System log would also take rendering each record with the driver's message table:
    // the Event Viewer and `wevtutil qe System /q:"*[System/Provider/@Name='QUAV']"` already do.
    throw TransportError("events is not available on Windows: the driver's events are in the System log, "
                         "source QUAV (Event Viewer, or wevtutil qe System)");
}

uint32_t DeviceTransport::RegistryValue(const std::string& key, const std::string& name, uint32_t* type,
                                        std::vector<uint8_t>* data)
{
    constexpr uint32_t kNotFound = 0xC0000034; // STATUS_OBJECT_NAME_NOT_FOUND
    data->clear();
    const std::wstring path = Wide(std::string(quavproto::kServiceKey) + (key.empty() ? "" : "\\" + key));
    HKEY handle = nullptr;
    LSTATUS error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &handle);
    if (error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? kNotFound : StatusOfWin32Error(static_cast<DWORD>(error));
    }
    const std::wstring value = Wide(name);
    DWORD value_type = 0;
    DWORD size = 0;
    error = RegQueryValueExW(handle, value.c_str(), nullptr, &value_type, nullptr, &size);
    if (error == ERROR_SUCCESS) {
        data->assign(size, 0);
        error = RegQueryValueExW(handle, value.c_str(), nullptr, &value_type, data->data(), &size);
        data->resize(error == ERROR_SUCCESS ? size : 0);
    }
    RegCloseKey(handle);
    if (error != ERROR_SUCCESS) {
        return error == ERROR_FILE_NOT_FOUND ? kNotFound : StatusOfWin32Error(static_cast<DWORD>(error));
    }
    *type = value_type;
    return 0;
}

} // namespace quavctl

#endif
