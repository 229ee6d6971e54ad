// The object manager's part the driver sees: kernel handles and reference counts of objects (thread
// objects here), with fault knobs for thread creation and for taking a reference.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform.h"

namespace sim {

class Verifier;

class ObjectManager {
public:
    explicit ObjectManager(Verifier& verifier) : verifier_(verifier) {}

    HANDLE Insert(void* object); // a new kernel handle to the object; it holds one reference
    void* Lookup(HANDLE handle) const;
    bool Close(HANDLE handle); // false (and a report) for a value that is not an open handle
    void Reference(void* object);
    LONG_PTR Dereference(void* object); // the count left; a count that would go below zero is reported
    LONG_PTR References(const void* object) const;
    size_t OpenHandles() const;

    // The next `count` thread creations / references by handle fail; < 0 all, 0 none.
    void FailThreadCreation(int count);
    void FailReferences(int count);
    bool TakeThreadCreationFault();
    bool TakeReferenceFault();

private:
    static bool Take(int& knob);

    Verifier& verifier_;
    mutable std::mutex mu_;
    std::map<uintptr_t, void*> handles_;
    std::map<const void*, LONG_PTR> references_;
    uintptr_t next_handle_ = 4;
    int fail_threads_ = 0;
    int fail_references_ = 0;
};

} // namespace sim
