// Executive pool with accounting by tag, so that a test can ask what a driver still holds, and fault
// knobs that make allocations fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace sim {

class Verifier;

class Pool {
public:
    explicit Pool(Verifier& verifier) : verifier_(verifier) {}
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void* Allocate(int pool_type, size_t bytes, uint32_t tag);
    void Free(void* p, const uint32_t* expected_tag);

    size_t Outstanding(uint32_t tag) const;      // live allocations with this tag
    size_t OutstandingBytes(uint32_t tag) const; // and their bytes
    size_t OutstandingTotal() const;
    size_t OutstandingBytesTotal() const;        // the bytes of every live allocation
    size_t PeakBytes() const;                    // the most bytes live at once so far
    uint64_t Allocations(uint32_t tag) const;    // every allocation made with this tag
    uint64_t AllocatedBytes(uint32_t tag) const; // and their bytes
    int TypeOf(const void* p) const;             // pool type of a live allocation, -1 if none

    // The next `count` allocations with `tag` (0: any tag) fail, after `skip` that succeed; count < 0
    // fails them all from then on.
    void FailAllocations(uint32_t tag, int count, int skip = 0);

    static std::string TagText(uint32_t tag); // the four tag bytes in memory order

private:
    struct Block {
        size_t bytes;
        uint32_t tag;
        int type;
    };
    struct Totals {
        size_t live = 0;
        size_t bytes = 0;
        uint64_t made = 0;
        uint64_t made_bytes = 0;
    };

    Verifier& verifier_;
    mutable std::mutex mu_;
    std::unordered_map<void*, Block> blocks_;
    std::map<uint32_t, Totals> by_tag_;
    uint32_t fail_tag_ = 0;
    int fail_count_ = 0;
    int fail_skip_ = 0;
    size_t bytes_ = 0;
    size_t peak_bytes_ = 0;
};

} // namespace sim
