#include "pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "verifier.h"

namespace sim {

Pool::~Pool()
{
    for (auto& [p, block] : blocks_) {
        std::free(p);
    }
}

void* Pool::Allocate(int pool_type, size_t bytes, uint32_t tag)
{
    std::lock_guard lk(mu_);
    if (fail_count_ != 0 && (fail_tag_ == 0 || fail_tag_ == tag)) {
        if (fail_skip_ > 0) {
            fail_skip_--;
        } else {
            if (fail_count_ > 0) {
                fail_count_--;
            }
            return nullptr;
        }
    }
    void* p = std::malloc(bytes != 0 ? bytes : 1);
    if (p == nullptr) {
        return nullptr;
    }
    // Pool memory is not zeroed: a pattern makes reliance on it show.
    std::memset(p, 0xCD, bytes);
    blocks_[p] = {bytes, tag, pool_type};
    Totals& t = by_tag_[tag];
    t.live++;
    t.bytes += bytes;
    t.made++;
    t.made_bytes += bytes;
    bytes_ += bytes;
    peak_bytes_ = std::max(peak_bytes_, bytes_);
    return p;
}

void Pool::Free(void* p, const uint32_t* expected_tag)
{
    std::lock_guard lk(mu_);
    auto it = blocks_.find(p);
    if (it == blocks_.end()) {
        char text[96];
        std::snprintf(text, sizeof text, "ExFreePool of %p, which is not a live pool allocation", p);
        verifier_.Report("pool", text);
        return;
    }
    if (expected_tag != nullptr && *expected_tag != it->second.tag) {
        verifier_.Report("pool", "ExFreePoolWithTag with tag '" + TagText(*expected_tag) +
                                     "' on an allocation tagged '" + TagText(it->second.tag) + "'");
    }
    Totals& t = by_tag_[it->second.tag];
    t.live--;
    t.bytes -= it->second.bytes;
    bytes_ -= it->second.bytes;
    std::memset(p, 0xDD, it->second.bytes);
    std::free(p);
    blocks_.erase(it);
}

size_t Pool::Outstanding(uint32_t tag) const
{
    std::lock_guard lk(mu_);
    auto it = by_tag_.find(tag);
    return it == by_tag_.end() ? 0 : it->second.live;
}

size_t Pool::OutstandingBytes(uint32_t tag) const
{
    std::lock_guard lk(mu_);
    auto it = by_tag_.find(tag);
    return it == by_tag_.end() ? 0 : it->second.bytes;
}

size_t Pool::OutstandingTotal() const
{
    std::lock_guard lk(mu_);
    return blocks_.size();
}

size_t Pool::OutstandingBytesTotal() const
{
    std::lock_guard lk(mu_);
    return bytes_;
}

size_t Pool::PeakBytes() const
{
    std::lock_guard lk(mu_);
    return peak_bytes_;
}

uint64_t Pool::Allocations(uint32_t tag) const
{
    std::lock_guard lk(mu_);
    auto it = by_tag_.find(tag);
    return it == by_tag_.end() ? 0 : it->second.made;
}

uint64_t Pool::AllocatedBytes(uint32_t tag) const
{
    std::lock_guard lk(mu_);
    auto it = by_tag_.find(tag);
    return it == by_tag_.end() ? 0 : it->second.made_bytes;
}

int Pool::TypeOf(const void* p) const
{
    std::lock_guard lk(mu_);
    auto it = blocks_.find(const_cast<void*>(p));
    return it == blocks_.end() ? -1 : it->second.type;
}

void Pool::FailAllocations(uint32_t tag, int count, int skip)
{
    std::lock_guard lk(mu_);
    fail_tag_ = tag;
    fail_count_ = count;
    fail_skip_ = skip;
}

std::string Pool::TagText(uint32_t tag)
{
    std::string s;
    for (int i = 0; i < 4; i++) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return s;
}

} // namespace sim
