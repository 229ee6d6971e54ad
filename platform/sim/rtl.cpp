// The run-time library: counted strings, the kernel's wide-string helpers and the registry routines, on
// the current machine's registry and pool.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "entry.h"
#include "machine.h"
#include "pe_bindings.h"
#include "text.h"

using sim::Machine;

namespace {

constexpr ULONG kTypeCheckMask = 0xFFu << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
constexpr ULONG kStringTag = 0x72747355; // "Ustr", the kernel's tag for strings it allocates

void Report(const char* source, std::string text)
{
    Machine::Current().verifier().Report(source, std::move(text));
}

std::string Narrow(PCWSTR s)
{
    return s != nullptr ? sim::Utf8FromUtf16(s) : std::string();
}

bool IsString(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Only absolute paths. RTL_REGISTRY_OPTIONAL is accepted and changes nothing: a missing key still fails.
bool Absolute(ULONG relative_to)
{
    return (relative_to & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) == RTL_REGISTRY_ABSOLUTE;
}

// The value a missing one stands in for: DefaultType without the type-check byte, and for a string whose
// DefaultLength is 0, the string's own length with its terminator(s).
std::optional<sim::Registry::Value> Default(const RTL_QUERY_REGISTRY_TABLE& e)
{
    const ULONG type = e.DefaultType & ~kTypeCheckMask;
    if (type == REG_NONE) {
        return std::nullopt;
    }
    ULONG length = e.DefaultLength;
    if (type == REG_DWORD) {
        length = sizeof(ULONG);
    } else if (length == 0 && IsString(type) && e.DefaultData != nullptr) {
        const auto* s = static_cast<const WCHAR*>(e.DefaultData);
        size_t units = wcslen(s) + 1;
        if (type == REG_MULTI_SZ) {
            while (s[units] != 0) {
                units += wcslen(s + units) + 1;
            }
            units++;
        }
        length = static_cast<ULONG>(units * sizeof(WCHAR));
    }
    const auto* p = static_cast<const uint8_t*>(e.DefaultData);
    return sim::Registry::Value{type,
                                p != nullptr ? std::vector<uint8_t>(p, p + length) : std::vector<uint8_t>()};
}

// A string into the UNICODE_STRING at EntryContext: into its buffer when one is given, otherwise into a
// pool allocation the caller frees with RtlFreeUnicodeString.
NTSTATUS DirectString(PUNICODE_STRING out, const std::vector<uint8_t>& data)
{
    if (data.size() > 0xFFFE) {
        return STATUS_BUFFER_OVERFLOW;
    }
    const auto size = static_cast<USHORT>(data.size());
    USHORT length = size & ~1u;
    if (length >= sizeof(WCHAR) && data[length - 1] == 0 && data[length - 2] == 0) {
        length -= sizeof(WCHAR);
    }
    if (out->Buffer == nullptr) {
        out->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size != 0 ? size : 1, kStringTag));
        if (out->Buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        out->MaximumLength = size;
    } else if (out->MaximumLength < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(out->Buffer, data.data(), size);
    out->Length = length;
    return STATUS_SUCCESS;
}

// Data larger than a ULONG into a caller's buffer that begins with its size as a LONG: negative, the
// data alone; positive, the data's length and type ahead of it.
NTSTATUS DirectSized(PVOID out, ULONG type, const std::vector<uint8_t>& data)
{
    LONG size;
    std::memcpy(&size, out, sizeof size);
    if (size < 0) {
        if (static_cast<size_t>(-static_cast<long long>(size)) < data.size()) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(out, data.data(), data.size());
        return STATUS_SUCCESS;
    }
    if (static_cast<size_t>(size) < 2 * sizeof(ULONG) + data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG header[2] = {static_cast<ULONG>(data.size()), type};
    std::memcpy(out, header, sizeof header);
    std::memcpy(static_cast<uint8_t*>(out) + sizeof header, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS Direct(const RTL_QUERY_REGISTRY_TABLE& e, const std::string& name, const sim::Registry::Value& v)
{
    if (e.EntryContext == nullptr) {
        Report("registry", "RtlQueryRegistryValues: direct entry \"" + name + "\" has no EntryContext");
        return STATUS_INVALID_PARAMETER;
    }
    if (e.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        if (v.type != e.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (IsString(v.type)) {
            return DirectString(static_cast<PUNICODE_STRING>(e.EntryContext), v.data);
        }
        if (v.data.size() > sizeof(ULONG)) {
            return DirectSized(e.EntryContext, v.type, v.data);
        }
    } else if (IsString(v.type) || v.data.size() > sizeof(ULONG)) {
        // The kernel would take EntryContext for a UNICODE_STRING or a sized buffer here, whatever the
        // caller meant it to be: a value of an unexpected type overruns a ULONG destination.
        Report("registry", "RtlQueryRegistryValues: direct query of \"" + name + "\" (type " +
                               std::to_string(v.type) + ", " + std::to_string(v.data.size()) +
                               " bytes) without RTL_QUERY_REGISTRY_TYPECHECK");
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(e.EntryContext, v.data.data(), v.data.size());
    return STATUS_SUCCESS;
}

// Hands one value to the entry's query routine, or stores it directly. Unless the entry says
// RTL_QUERY_REGISTRY_NOEXPAND, the kernel prepares strings for a routine: a REG_EXPAND_SZ comes expanded,
// as a REG_SZ (the system process here has no environment, so the text stays as it is), and a
// REG_MULTI_SZ comes one string a call, each a REG_SZ with its terminator; an empty list, not at all.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& e, PVOID context, const std::string& name,
                 sim::Registry::Value v)
{
    if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) {
        return Direct(e, name, v);
    }
    std::u16string wide = sim::Utf16FromUtf8(name);
    const auto call = [&](ULONG type, size_t at, size_t length) {
        const sim::DriverCall call;
        return e.QueryRoutine(wide.data(), type, length == 0 ? nullptr : v.data.data() + at,
                              static_cast<ULONG>(length), context, e.EntryContext);
    };
    const bool prepare = !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
    if (prepare && v.type == REG_EXPAND_SZ) {
        return call(REG_SZ, 0, v.data.size());
    }
    if (!prepare || v.type != REG_MULTI_SZ) {
        return call(v.type, 0, v.data.size());
    }
    const auto unit = [&v](size_t at) { return v.data[at] | v.data[at + 1] << 8; };
    for (size_t at = 0; at + 1 < v.data.size() && unit(at) != 0;) {
        size_t end = at;
        while (end + 1 < v.data.size() && unit(end) != 0) {
            end += sizeof(WCHAR);
        }
        end = std::min(end + sizeof(WCHAR), v.data.size()); // past the terminator, when there is one
        const NTSTATUS status = call(REG_SZ, at, end - at);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        at = end;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryEntry(const std::string& path, const RTL_QUERY_REGISTRY_TABLE& e, PVOID context)
{
    constexpr ULONG kUnsupported = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                   RTL_QUERY_REGISTRY_NOVALUE | RTL_QUERY_REGISTRY_DELETE;
    if (e.Flags & kUnsupported) {
        char flags[16];
        std::snprintf(flags, sizeof flags, "0x%x", e.Flags);
        Report("registry", std::string("RtlQueryRegistryValues: entry flags ") + flags +
                               " include SUBKEY, TOPKEY, NOVALUE or DELETE, which the simulation lacks");
        return STATUS_NOT_SUPPORTED;
    }
    sim::Registry& registry = Machine::Current().registry();
    if (e.Name == nullptr) {
        if (e.Flags & RTL_QUERY_REGISTRY_DIRECT) {
            return STATUS_INVALID_PARAMETER; // a direct entry names its value
        }
        // Every value of the key, in order. The routine may change the registry: work on a snapshot.
        const std::vector<std::string> names = registry.Values(path);
        bool any = false;
        for (const std::string& name : names) {
            if (std::optional<sim::Registry::Value> v = registry.GetValue(path, name)) {
                any = true;
                const NTSTATUS status = Deliver(e, context, name, std::move(*v));
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            }
        }
        if (any) {
            return STATUS_SUCCESS;
        }
        if (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::optional<sim::Registry::Value> d = Default(e);
        return d ? Deliver(e, context, {}, std::move(*d)) : STATUS_SUCCESS;
    }

    const std::string name = Narrow(e.Name);
    std::optional<sim::Registry::Value> v = registry.GetValue(path, name);
    if (!v) {
        if (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        v = Default(e);
        if (!v) {
            return STATUS_SUCCESS;
        }
    }
    return Deliver(e, context, name, std::move(*v));
}

void Append(std::u16string& out, std::u16string_view field, int width, bool left, bool zero)
{
    const size_t pad = width > 0 && static_cast<size_t>(width) > field.size() ? width - field.size() : 0;
    if (left) {
        out.append(field).append(pad, u' ');
    } else if (zero) {
        const size_t sign = !field.empty() && field[0] == u'-' ? 1 : 0;
        out.append(field.substr(0, sign)).append(pad, u'0').append(field.substr(sign));
    } else {
        out.append(pad, u' ').append(field);
    }
}

std::u16string Digits(unsigned long long v, unsigned base, bool upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(digits[v % base]));
        v /= base;
    } while (v != 0);
    return s;
}

} // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    const sim::OperationEntry entry(sim::Op::RtlInitUnicodeString);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    // Lengths are USHORT byte counts: a longer string is cut to the longest that fits with its NUL.
    const size_t bytes = std::min<size_t>(wcslen(SourceString) * sizeof(WCHAR), 0xFFFC);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    const sim::OperationEntry entry(sim::Op::RtlFreeUnicodeString);
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    const sim::OperationEntry entry(sim::Op::RtlQueryRegistryValues);
    (void)Environment; // nothing is expanded
    if (!Absolute(RelativeTo) || Path == nullptr || QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::string path = Narrow(Path);
    if (!Machine::Current().registry().KeyExists(path)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine != nullptr || e->Name != nullptr; e++) {
        const NTSTATUS status = QueryEntry(path, *e, Context);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    const sim::OperationEntry entry(sim::Op::RtlWriteRegistryValue);
    if (!Absolute(RelativeTo) || Path == nullptr || (ValueData == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Machine::Current().registry().KernelWrite(Path, ValueName, ValueType,
                                                     {static_cast<const uint8_t*>(ValueData), ValueLength});
}

} // extern "C"

// The kernel's swprintf: no buffer size, so the caller sizes the buffer for the longest result. LONG is
// 32 bits as on Windows, so an 'l' before d, u or x changes nothing.
int sim::FormatWide(char16_t* Buffer, const char16_t* Format, va_list args)
{
    if (Buffer == nullptr || Format == nullptr) {
        sim::Fatal("swprintf with a null buffer or format");
    }
    std::u16string out;
    const WCHAR* p = Format;
    while (*p != 0) {
        if (*p != u'%') {
            out += *p++;
            continue;
        }
        const WCHAR* directive = p++;
        bool left = false;
        bool zero = false;
        for (;; p++) {
            if (*p == u'-') {
                left = true;
            } else if (*p == u'0') {
                zero = true;
            } else {
                break;
            }
        }
        int width = 0;
        while (*p >= u'0' && *p <= u'9') {
            width = width * 10 + (*p++ - u'0');
        }
        if (*p == u'l') {
            p++;
        }
        std::u16string field;
        bool numeric = true;
        switch (*p) {
            case u'd':
            case u'i': {
                const long long v = va_arg(args, int);
                field =
                    (v < 0 ? u"-" : u"") + Digits(static_cast<unsigned long long>(v < 0 ? -v : v), 10, false);
                break;
            }
            case u'u':
                field = Digits(va_arg(args, unsigned), 10, false);
                break;
            case u'x':
            case u'X':
                field = Digits(va_arg(args, unsigned), 16, *p == u'X');
                break;
            case u's': {
                const WCHAR* s = va_arg(args, const WCHAR*);
                field = s != nullptr ? s : u"(null)";
                numeric = false;
                break;
            }
            case u'c':
                field = static_cast<WCHAR>(va_arg(args, int));
                numeric = false;
                break;
            case u'%':
                field = u"%";
                numeric = false;
                break;
            default: {
                // The arguments can no longer be matched to the format: the rest is copied as it stands.
                const std::u16string rest(directive);
                Report("strings", "swprintf: unsupported conversion in \"" + sim::Utf8FromUtf16(rest) + "\"");
                out += rest;
                p = directive + rest.size();
                continue;
            }
        }
        p++;
        Append(out, field, width, left, zero && numeric);
    }
    std::memcpy(Buffer, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

int swprintf(WCHAR* Buffer, const WCHAR* Format, ...)
{
    const sim::OperationEntry entry(sim::Op::Swprintf);
    va_list args;
    va_start(args, Format);
    const int length = sim::FormatWide(Buffer, Format, args);
    va_end(args);
    return length;
}

SIZE_T wcslen(const WCHAR* String)
{
    const sim::OperationEntry entry(sim::Op::Wcslen);
    if (String == nullptr) {
        sim::Fatal("wcslen of a null string");
    }
    SIZE_T n = 0;
    while (String[n] != 0) {
        n++;
    }
    return n;
}

WCHAR* wcscpy(WCHAR* Destination, const WCHAR* Source)
{
    const sim::OperationEntry entry(sim::Op::Wcscpy);
    if (Destination == nullptr || Source == nullptr) {
        sim::Fatal("wcscpy with a null string");
    }
    std::memmove(Destination, Source, (wcslen(Source) + 1) * sizeof(WCHAR));
    return Destination;
}
