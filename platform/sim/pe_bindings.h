// What the platform provides to a loaded kernel image: each routine the image may import, by module and
// name, with the calling convention the x86 kernel exports it with and the address the image's import
// address table receives. The names are those of platform/operations.txt (a test checks that the two
// agree).
//
// In the 32-bit build each address is an entry shim: it realigns the stack (the image keeps only 4-byte
// alignment, GCC's i386 code assumes 16 at every call) and calls the simulation's routine with the same
// convention; the compiler checks each routine's declared convention against the table's. In the 64-bit
// build the table records the simulation's routines, which 32-bit code can never call.
#pragma once

#include <cstdarg>
#include <span>
#include <string_view>

namespace sim {

enum class CallingConvention {
    Stdcall,  // arguments on the stack, popped by the callee (NTAPI)
    Fastcall, // the first two in ECX and EDX, the rest on the stack, popped by the callee (FASTCALL)
    Cdecl,    // arguments on the stack, popped by the caller (the C runtime, and variadic swprintf)
};

struct Binding {
    std::string_view module; // as the kernel names it: "ntoskrnl.exe", "HAL.dll", "WMILIB.SYS"
    std::string_view name;
    CallingConvention convention;
    const void* address;
};

std::span<const Binding> PlatformBindings();
// The routine `name` of `module` (compared without regard to case, as the loader compares module
// names), or null when the platform provides no such routine there.
const Binding* FindBinding(std::string_view module, std::string_view name);
const char* ConventionName(CallingConvention convention);

// The kernel's swprintf on a va_list: the simulation's swprintf and the image's entry shim share it.
// Neither checks the operation's entry here: each caller does.
int FormatWide(char16_t* buffer, const char16_t* format, va_list args);

} // namespace sim
