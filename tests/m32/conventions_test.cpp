// The kernel's calling conventions on x86, as a loaded quav.sys calls the platform: stdcall operations
// pop their own arguments, the fastcall ones take the first two in ecx and edx, and the C runtime's
// leave the stack to the caller. Each operation is called here from assembly, as an import would be,
// and the stack pointer after the call shows what the callee popped.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_test.h"

namespace {

enum class Convention { Stdcall, Fastcall, Cdecl };

struct Outcome {
    uint32_t popped; // bytes of arguments the callee removed from the stack
    uint32_t eax;
};

// Calls `fn` with `args`: for fastcall the first two in ecx and edx, the rest (all, otherwise) pushed
// from the last to the first onto a 16-byte aligned stack, as the System V ABI on i386 wants it. The
// assembly moves the stack pointer, so it reaches everything through one frame in ebx (callee-saved).
Outcome Call(const void* fn, Convention convention, std::vector<uint32_t> args)
{
    struct Frame {
        const void* fn;       // 0
        uint32_t pad;         // 4
        uint32_t pushed;      // 8
        const uint32_t* last; // 12
        uint32_t ecx;         // 16
        uint32_t edx;         // 20
        uint32_t saved_esp;   // 24
        uint32_t aligned_esp; // 28
        uint32_t eax;         // 32
        uint32_t left;        // 36: what is still on the stack, padding included
    } frame{fn, 0, 0, nullptr, 0, 0, 0, 0, 0, 0};
    if (convention == Convention::Fastcall) {
        frame.ecx = args.size() > 0 ? args[0] : 0;
        frame.edx = args.size() > 1 ? args[1] : 0;
        args.erase(args.begin(), args.begin() + static_cast<long>(std::min<size_t>(args.size(), 2)));
    }
    frame.pushed = static_cast<uint32_t>(args.size() * 4);
    frame.pad = (16 - frame.pushed % 16) % 16;
    frame.last = args.data() + args.size();
    asm volatile("mov %%esp, 24(%%ebx)\n\t"
                 "and $-16, %%esp\n\t"
                 "mov %%esp, 28(%%ebx)\n\t"
                 "sub 4(%%ebx), %%esp\n\t"
                 "mov 8(%%ebx), %%eax\n\t"
                 "mov 12(%%ebx), %%esi\n\t"
                 "1: test %%eax, %%eax\n\t"
                 "jz 2f\n\t"
                 "sub $4, %%esi\n\t"
                 "pushl (%%esi)\n\t"
                 "sub $4, %%eax\n\t"
                 "jmp 1b\n\t"
                 "2: mov 16(%%ebx), %%ecx\n\t"
                 "mov 20(%%ebx), %%edx\n\t"
                 "call *(%%ebx)\n\t"
                 "mov %%eax, 32(%%ebx)\n\t"
                 "mov 28(%%ebx), %%edx\n\t"
                 "sub %%esp, %%edx\n\t"
                 "mov %%edx, 36(%%ebx)\n\t"
                 "mov 24(%%ebx), %%esp\n\t"
                 :
                 : "b"(&frame)
                 : "eax", "ecx", "edx", "esi", "edi", "memory", "cc");
    return {frame.pushed + frame.pad - frame.left, frame.eax};
}

uint32_t Arg(const void* p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

class ConventionsTest : public SimTest {};

TEST_F(ConventionsTest, OperationsPopTheirArgumentsAsTheKernelsDo)
{
    static KEVENT event;
    static KSEMAPHORE semaphore;
    static KMUTEX mutex;
    static UNICODE_STRING string;
    static volatile LONG counter = 41;
    static WCHAR text[16];
    int (*const swprintf_)(WCHAR*, const WCHAR*, ...) = swprintf;
    SIZE_T (*const wcslen_)(const WCHAR*) = wcslen;
    const struct {
        const char* what;
        const void* fn;
        Convention convention;
        std::vector<uint32_t> args;
        uint32_t popped;
        std::optional<uint32_t> eax; // the result, where there is one
    } kCalls[] = {
        {"KeInitializeEvent",
         reinterpret_cast<const void*>(KeInitializeEvent),
         Convention::Stdcall,
         {Arg(&event), NotificationEvent, FALSE},
         12,
         {}},
        {"KeSetEvent",
         reinterpret_cast<const void*>(KeSetEvent),
         Convention::Stdcall,
         {Arg(&event), 0, FALSE},
         12,
         0},
        {"KeWaitForSingleObject",
         reinterpret_cast<const void*>(KeWaitForSingleObject),
         Convention::Stdcall,
         {Arg(&event), Executive, KernelMode, FALSE, 0},
         20,
         STATUS_SUCCESS},
        {"KeInitializeSemaphore",
         reinterpret_cast<const void*>(KeInitializeSemaphore),
         Convention::Stdcall,
         {Arg(&semaphore), 0, 2},
         12,
         {}},
        {"KeReleaseSemaphore",
         reinterpret_cast<const void*>(KeReleaseSemaphore),
         Convention::Stdcall,
         {Arg(&semaphore), 0, 1, FALSE},
         16,
         0},
        {"KeInitializeMutex",
         reinterpret_cast<const void*>(KeInitializeMutex),
         Convention::Stdcall,
         {Arg(&mutex), 0},
         8,
         {}},
        {"RtlInitUnicodeString",
         reinterpret_cast<const void*>(RtlInitUnicodeString),
         Convention::Stdcall,
         {Arg(&string), Arg(u"abc")},
         8,
         {}},
        {"InterlockedIncrement",
         reinterpret_cast<const void*>(InterlockedIncrement),
         Convention::Fastcall,
         {Arg(const_cast<LONG*>(&counter))},
         0,
         42},
        {"swprintf",
         reinterpret_cast<const void*>(swprintf_),
         Convention::Cdecl,
         {Arg(text), Arg(u"%d"), 7},
         0,
         1},
        {"wcslen", reinterpret_cast<const void*>(wcslen_), Convention::Cdecl, {Arg(u"four")}, 0, 4},
    };
    for (const auto& c : kCalls) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Call(c.fn, c.convention, c.args);
        EXPECT_EQ(outcome.popped, c.popped);
        if (c.eax) {
            EXPECT_EQ(outcome.eax, *c.eax);
        }
    }
    // The arguments arrived where each convention puts them.
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
    EXPECT_EQ(string.Length, 6);
    EXPECT_EQ(string.Buffer[0], u'a');
    EXPECT_EQ(counter, 42);
    EXPECT_EQ(std::u16string(text), u"7");
}

// Pool goes out and comes back through stdcall, the block's address in eax.
TEST_F(ConventionsTest, PoolRoundTripThroughTheImportConvention)
{
    const Outcome allocated = Call(reinterpret_cast<const void*>(ExAllocatePoolWithTag), Convention::Stdcall,
                                   {NonPagedPool, 32, 0x74736554});
    EXPECT_EQ(allocated.popped, 12u);
    ASSERT_NE(allocated.eax, 0u);
    EXPECT_EQ(machine_.pool().Outstanding(0x74736554), 1u);
    const Outcome freed =
        Call(reinterpret_cast<const void*>(ExFreePool), Convention::Stdcall, {allocated.eax});
    EXPECT_EQ(freed.popped, 4u);
    EXPECT_EQ(machine_.pool().Outstanding(0x74736554), 0u);
}

} // namespace
