// System threads and the object manager's routines, on the current machine.
#include <cxxabi.h>
#include <dlfcn.h>

#include <csetjmp>
#include <cstdlib>
#include <string>

#include "entry.h"
#include "machine.h"

using sim::Machine;

namespace {

// A thread is named after its start routine when the symbol can be found (executables are linked with
// their symbols exported), so reports read "MonitorThread(void*)" rather than an address.
std::string RoutineName(PKSTART_ROUTINE routine, int ordinal)
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(routine), &info) != 0 && info.dli_sname != nullptr &&
        info.dli_saddr == reinterpret_cast<void*>(routine)) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        std::free(demangled);
        return name;
    }
    return "system thread " + std::to_string(ordinal);
}

// A system thread's start. PsTerminateSystemThread ends the thread by a longjmp back here, abandoning the
// frames between as the kernel abandons a terminated thread's stack: a loaded image has no unwind tables
// to throw through. Nothing with a destructor lives in this frame, nor in the platform's frames between
// it and the longjmp (PsTerminateSystemThread closes its operation's entry before it leaves).
void RunStartRoutine(sim::Scheduler& scheduler, PKSTART_ROUTINE routine, PVOID context)
{
    std::jmp_buf exit;
    if (setjmp(exit) == 0) {
        scheduler.SetExitPoint(&exit);
        routine(context);
    }
    scheduler.SetExitPoint(nullptr);
}

} // namespace

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    const sim::OperationEntry entry(sim::Op::PsCreateSystemThread);
    (void)DesiredAccess;
    (void)ClientId;
    Machine& m = Machine::Current();
    if (ProcessHandle != nullptr) {
        m.verifier().Report("threads", "PsCreateSystemThread in a process other than the system process");
    }
    if (ObjectAttributes != nullptr && !(ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) {
        m.verifier().Report("threads", "PsCreateSystemThread without OBJ_KERNEL_HANDLE: the handle would be "
                                       "reachable from the current process");
    }
    if (m.objects().TakeThreadCreationFault()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static int ordinal = 0;
    sim::Scheduler& scheduler = m.scheduler();
    PKTHREAD thread = scheduler.Start(
        RoutineName(StartRoutine, ++ordinal),
        [&scheduler, StartRoutine, StartContext] {
            const sim::DriverCall call;
            RunStartRoutine(scheduler, StartRoutine, StartContext);
        },
        true);
    *ThreadHandle = m.objects().Insert(thread);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    {
        const sim::OperationEntry entry(sim::Op::PsTerminateSystemThread);
    }
    Machine::Current().scheduler().ExitCurrentThread(ExitStatus);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation)
{
    const sim::OperationEntry entry(sim::Op::ObReferenceObjectByHandle);
    (void)DesiredAccess;
    (void)ObjectType;
    (void)AccessMode;
    (void)HandleInformation;
    sim::ObjectManager& objects = Machine::Current().objects();
    if (objects.TakeReferenceFault()) {
        return STATUS_INVALID_HANDLE;
    }
    void* object = objects.Lookup(Handle);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    objects.Reference(object);
    *Object = object;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    const sim::OperationEntry entry(sim::Op::ObfDereferenceObject);
    return Machine::Current().objects().Dereference(Object);
}

NTSTATUS ZwClose(HANDLE Handle)
{
    const sim::OperationEntry entry(sim::Op::ZwClose);
    return Machine::Current().objects().Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

} // extern "C"
