#include "objects.h"

#include <cstdio>

#include "verifier.h"

namespace sim {
namespace {

// Kernel handles have the top bit set, as on the real system, so they never pass for a user handle.
constexpr uintptr_t kKernelHandleBit = uintptr_t{1} << (sizeof(uintptr_t) * 8 - 1);

std::string Describe(const void* p)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

} // namespace

HANDLE ObjectManager::Insert(void* object)
{
    std::lock_guard lk(mu_);
    const uintptr_t value = kKernelHandleBit | next_handle_;
    next_handle_ += 4;
    handles_[value] = object;
    references_[object]++;
    return reinterpret_cast<HANDLE>(value);
}

void* ObjectManager::Lookup(HANDLE handle) const
{
    std::lock_guard lk(mu_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

bool ObjectManager::Close(HANDLE handle)
{
    void* object = nullptr;
    {
        std::lock_guard lk(mu_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it != handles_.end()) {
            object = it->second;
            handles_.erase(it);
        }
    }
    if (object == nullptr) {
        verifier_.Report("objects", "ZwClose of " + Describe(handle) + ", which is not an open handle");
        return false;
    }
    Dereference(object);
    return true;
}

void ObjectManager::Reference(void* object)
{
    std::lock_guard lk(mu_);
    references_[object]++;
}

LONG_PTR ObjectManager::Dereference(void* object)
{
    std::lock_guard lk(mu_);
    auto it = references_.find(object);
    if (it == references_.end() || it->second == 0) {
        verifier_.Report("objects",
                         "ObfDereferenceObject of " + Describe(object) + ", which holds no reference");
        return 0;
    }
    return --it->second;
}

LONG_PTR ObjectManager::References(const void* object) const
{
    std::lock_guard lk(mu_);
    auto it = references_.find(object);
    return it == references_.end() ? 0 : it->second;
}

size_t ObjectManager::OpenHandles() const
{
    std::lock_guard lk(mu_);
    return handles_.size();
}

void ObjectManager::FailThreadCreation(int count)
{
    std::lock_guard lk(mu_);
    fail_threads_ = count;
}

void ObjectManager::FailReferences(int count)
{
    std::lock_guard lk(mu_);
    fail_references_ = count;
}

bool ObjectManager::Take(int& knob)
{
    if (knob == 0) {
        return false;
    }
    if (knob > 0) {
        knob--;
    }
    return true;
}

bool ObjectManager::TakeThreadCreationFault()
{
    std::lock_guard lk(mu_);
    return Take(fail_threads_);
}

bool ObjectManager::TakeReferenceFault()
{
    std::lock_guard lk(mu_);
    return Take(fail_references_);
}

} // namespace sim
