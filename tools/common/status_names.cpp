#include "status_names.h"

#include <cstdio>
#include <cstring>

namespace quavtools {

namespace {

struct NamedStatus {
    uint32_t value;
    const char* name;
};

// The values platform/include/nt/ntstatus.h declares.
constexpr NamedStatus kStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000080, "STATUS_ABANDONED"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000024, "STATUS_OBJECT_TYPE_MISMATCH"},
    {0xC0000030, "STATUS_INVALID_PARAMETER_MIX"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000046, "STATUS_MUTANT_NOT_OWNED"},
    {0xC0000047, "STATUS_SEMAPHORE_LIMIT_EXCEEDED"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC0000194, "STATUS_POSSIBLE_DEADLOCK"},
    {0xC0000295, "STATUS_WMI_GUID_NOT_FOUND"},
};

} // namespace

const char* StatusName(uint32_t status)
{
    for (const NamedStatus& s : kStatuses) {
        if (s.value == status) {
            return s.name;
        }
    }
    return nullptr;
}

std::string StatusText(uint32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    const char* name = StatusName(status);
    return name != nullptr ? std::string(name) + " (" + hex + ")" : "status " + std::string(hex);
}

std::optional<uint32_t> StatusFromName(const std::string& name)
{
    for (const NamedStatus& s : kStatuses) {
        if (name == s.name) {
            return s.value;
        }
    }
    return std::nullopt;
}

} // namespace quavtools
