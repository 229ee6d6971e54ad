#include "pe_bindings.h"

#include <algorithm>
#include <cstring>

#include "entry.h"
#include "text.h"

namespace sim {

namespace {

#if defined(__i386__)
// The realigning entry of each routine. GCC keeps the i386 stack 16-byte aligned across calls and may
// rely on it (aligned spills, the C library's vector code); the image aligns to 4 only, as the x86
// kernel's ABI asks. force_align_arg_pointer realigns in the shim's prologue, so the simulation's own
// code below it runs as usual. These shims and the image's swprintf below are the only places the
// image enters the platform; the platform's calls into the image need no realignment (its code
// assumes 4).
#define QUAV_IMAGE_ENTRY __attribute__((force_align_arg_pointer))

template <CallingConvention C, auto F, typename T = decltype(F)>
struct Shim; // no definition: a routine whose type is not of convention C does not compile

template <auto F, typename R, typename... A>
struct Shim<CallingConvention::Stdcall, F, R(__attribute__((stdcall))*)(A...)> {
    QUAV_IMAGE_ENTRY static R __attribute__((stdcall)) Call(A... a) { return F(a...); }
};

template <auto F, typename R, typename... A>
struct Shim<CallingConvention::Fastcall, F, R(__attribute__((fastcall))*)(A...)> {
    QUAV_IMAGE_ENTRY static R __attribute__((fastcall)) Call(A... a) { return F(a...); }
};

template <auto F, typename R, typename... A>
struct Shim<CallingConvention::Cdecl, F, R (*)(A...)> {
    QUAV_IMAGE_ENTRY static R Call(A... a) { return F(a...); }
};

template <CallingConvention C, auto F>
const void* Bound()
{
    return reinterpret_cast<const void*>(&Shim<C, F>::Call);
}
#else
#define QUAV_IMAGE_ENTRY
template <CallingConvention C, auto F>
const void* Bound()
{
    return reinterpret_cast<const void*>(F);
}
#endif

// The kernel's swprintf is variadic: its shim formats from its own argument list.
QUAV_IMAGE_ENTRY int ImageSwprintf(char16_t* buffer, const char16_t* format, ...)
{
    const OperationEntry entry(Op::Swprintf);
    va_list args;
    va_start(args, format);
    const int length = FormatWide(buffer, format, args);
    va_end(args);
    return length;
}

// The C runtime's memory helpers, the host library's own. (Their declarations carry attributes a
// template argument would drop.)
QUAV_IMAGE_ENTRY void* ImageMemset(void* to, int c, size_t n)
{
    return std::memset(to, c, n);
}

QUAV_IMAGE_ENTRY void* ImageMemcpy(void* to, const void* from, size_t n)
{
    return std::memcpy(to, from, n);
}

QUAV_IMAGE_ENTRY void* ImageMemmove(void* to, const void* from, size_t n)
{
    return std::memmove(to, from, n);
}

QUAV_IMAGE_ENTRY int ImageMemcmp(const void* a, const void* b, size_t n)
{
    return std::memcmp(a, b, n);
}

constexpr auto kStd = CallingConvention::Stdcall;
constexpr auto kFast = CallingConvention::Fastcall;
constexpr auto kC = CallingConvention::Cdecl;
constexpr std::string_view kKernel = "ntoskrnl.exe";
constexpr std::string_view kHal = "HAL.dll";
constexpr std::string_view kWmiLib = "WMILIB.SYS";

// The simulation's wide-string routines are C++ overloads beside the host library's wchar_t ones.
constexpr SIZE_T (*kWcslen)(const WCHAR*) = &wcslen;
constexpr WCHAR* (*kWcscpy)(WCHAR*, const WCHAR*) = &wcscpy;

const Binding kBindings[] = {
    {kKernel, "KeInitializeEvent", kStd, Bound<kStd, &KeInitializeEvent>()},
    {kKernel, "KeSetEvent", kStd, Bound<kStd, &KeSetEvent>()},
    {kKernel, "KeInitializeMutex", kStd, Bound<kStd, &KeInitializeMutex>()},
    {kKernel, "KeReleaseMutex", kStd, Bound<kStd, &KeReleaseMutex>()},
    {kKernel, "KeInitializeSemaphore", kStd, Bound<kStd, &KeInitializeSemaphore>()},
    {kKernel, "KeReleaseSemaphore", kStd, Bound<kStd, &KeReleaseSemaphore>()},
    {kKernel, "KeWaitForSingleObject", kStd, Bound<kStd, &KeWaitForSingleObject>()},
    {kKernel, "ExAllocatePoolWithTag", kStd, Bound<kStd, &ExAllocatePoolWithTag>()},
    {kKernel, "ExFreePool", kStd, Bound<kStd, &ExFreePool>()},
    {kHal, "READ_PORT_UCHAR", kStd, Bound<kStd, &READ_PORT_UCHAR>()},
    {kHal, "WRITE_PORT_UCHAR", kStd, Bound<kStd, &WRITE_PORT_UCHAR>()},
    {kHal, "READ_PORT_ULONG", kStd, Bound<kStd, &READ_PORT_ULONG>()},
    {kHal, "WRITE_PORT_ULONG", kStd, Bound<kStd, &WRITE_PORT_ULONG>()},
    {kKernel, "RtlInitUnicodeString", kStd, Bound<kStd, &RtlInitUnicodeString>()},
    {kKernel, "RtlFreeUnicodeString", kStd, Bound<kStd, &RtlFreeUnicodeString>()},
    {kKernel, "RtlQueryRegistryValues", kStd, Bound<kStd, &RtlQueryRegistryValues>()},
    {kKernel, "RtlWriteRegistryValue", kStd, Bound<kStd, &RtlWriteRegistryValue>()},
    {kKernel, "swprintf", kC, reinterpret_cast<const void*>(&ImageSwprintf)},
    {kKernel, "wcslen", kC, Bound<kC, kWcslen>()},
    {kKernel, "wcscpy", kC, Bound<kC, kWcscpy>()},
    {kKernel, "PsCreateSystemThread", kStd, Bound<kStd, &PsCreateSystemThread>()},
    {kKernel, "PsTerminateSystemThread", kStd, Bound<kStd, &PsTerminateSystemThread>()},
    {kKernel, "ObReferenceObjectByHandle", kStd, Bound<kStd, &ObReferenceObjectByHandle>()},
    {kKernel, "ObfDereferenceObject", kFast, Bound<kFast, &ObfDereferenceObject>()},
    {kKernel, "ZwClose", kStd, Bound<kStd, &ZwClose>()},
    {kKernel, "IoAllocateErrorLogEntry", kStd, Bound<kStd, &IoAllocateErrorLogEntry>()},
    {kKernel, "IoWriteErrorLogEntry", kStd, Bound<kStd, &IoWriteErrorLogEntry>()},
    {kKernel, "IoCreateDevice", kStd, Bound<kStd, &IoCreateDevice>()},
    {kKernel, "IoDeleteDevice", kStd, Bound<kStd, &IoDeleteDevice>()},
    {kKernel, "IoCreateSymbolicLink", kStd, Bound<kStd, &IoCreateSymbolicLink>()},
    {kKernel, "IoDeleteSymbolicLink", kStd, Bound<kStd, &IoDeleteSymbolicLink>()},
    {kKernel, "IoRegisterDeviceInterface", kStd, Bound<kStd, &IoRegisterDeviceInterface>()},
    {kKernel, "IoSetDeviceInterfaceState", kStd, Bound<kStd, &IoSetDeviceInterfaceState>()},
    {kKernel, "IoAttachDeviceToDeviceStack", kStd, Bound<kStd, &IoAttachDeviceToDeviceStack>()},
    {kKernel, "IoDetachDevice", kStd, Bound<kStd, &IoDetachDevice>()},
    {kKernel, "IofCallDriver", kFast, Bound<kFast, &IofCallDriver>()},
    {kKernel, "IofCompleteRequest", kFast, Bound<kFast, &IofCompleteRequest>()},
    {kKernel, "IoInitializeRemoveLockEx", kStd, Bound<kStd, &IoInitializeRemoveLockEx>()},
    {kKernel, "IoAcquireRemoveLockEx", kStd, Bound<kStd, &IoAcquireRemoveLockEx>()},
    {kKernel, "IoReleaseRemoveLockEx", kStd, Bound<kStd, &IoReleaseRemoveLockEx>()},
    {kKernel, "IoReleaseRemoveLockAndWaitEx", kStd, Bound<kStd, &IoReleaseRemoveLockAndWaitEx>()},
    {kKernel, "PoCallDriver", kStd, Bound<kStd, &PoCallDriver>()},
    {kKernel, "PoStartNextPowerIrp", kStd, Bound<kStd, &PoStartNextPowerIrp>()},
    // The x86 kernel exports these two as fastcall routines (a driver built without the intrinsics
    // calls them).
    {kKernel, "InterlockedIncrement", kFast, Bound<kFast, &InterlockedIncrement>()},
    {kKernel, "InterlockedDecrement", kFast, Bound<kFast, &InterlockedDecrement>()},
    {kKernel, "IoWMIRegistrationControl", kStd, Bound<kStd, &IoWMIRegistrationControl>()},
    {kWmiLib, "WmiSystemControl", kStd, Bound<kStd, &WmiSystemControl>()},
    {kWmiLib, "WmiCompleteRequest", kStd, Bound<kStd, &WmiCompleteRequest>()},
    {kKernel, "memset", kC, reinterpret_cast<const void*>(&ImageMemset)},
    {kKernel, "memcpy", kC, reinterpret_cast<const void*>(&ImageMemcpy)},
    {kKernel, "memmove", kC, reinterpret_cast<const void*>(&ImageMemmove)},
    {kKernel, "memcmp", kC, reinterpret_cast<const void*>(&ImageMemcmp)},
};

bool SameModule(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

} // namespace

std::span<const Binding> PlatformBindings()
{
    return kBindings;
}

const Binding* FindBinding(std::string_view module, std::string_view name)
{
    const auto found = std::ranges::find_if(
        kBindings, [&](const Binding& b) { return b.name == name && SameModule(b.module, module); });
    return found == std::end(kBindings) ? nullptr : &*found;
}

const char* ConventionName(CallingConvention convention)
{
    switch (convention) {
        case CallingConvention::Stdcall:
            return "stdcall";
        case CallingConvention::Fastcall:
            return "fastcall";
        case CallingConvention::Cdecl:
            return "cdecl";
    }
    return "?";
}

} // namespace sim
