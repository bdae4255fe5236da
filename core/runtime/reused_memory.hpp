#pragma once
// Large blocks kept for reuse. On virtual machines with 4 KiB pages the
// first write to fresh memory costs about 0.5 ms per MiB in page faults,
// more than the passes that fill it; a training step makes and drops arrays
// the size of its images every time. Their blocks are kept when dropped and
// handed out again, so that a step writes to memory already mapped. Tree
// builds take their large temporary arrays here too: building the tree of a
// 16-megapixel image with wide levels writes about 1.5 GB of arrays.
#include <algorithm>
#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace vexa {

// The construct of an allocator whose containers leave new elements of
// trivial types unset when given no value (default- rather than
// value-initialised).
struct LeavesNewElementsUnset {
    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        if constexpr (sizeof...(Args) == 0) ::new (static_cast<void*>(at)) U;
        else ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
};

// At least `bytes` of memory: a kept block of about that size, or a new one.
// With hugePages, a block of 2 MiB or more asks the kernel for huge pages:
// fewer TLB misses for arrays read at scattered places. Only for those: with
// the kernel compacting memory to find huge pages, a first touch of fresh
// memory can take long and cannot be interrupted. Throws std::bad_alloc.
void* takeMemory(size_t bytes, bool hugePages = false);

// Gives back a block from takeMemory(bytes): kept while the blocks kept stay
// within a limit (an eighth of the machine's memory), freed otherwise.
void giveBackMemory(void* block, size_t bytes) noexcept;

// The bytes kept now, for tests and reports.
size_t keptMemory();

// Frees every kept block: the memory goes back to the system.
void releaseKeptMemory() noexcept;

// A std::allocator taking its memory from the blocks above. resize(n) leaves
// new elements of trivial types unset (give a value to have them set): the
// arrays are filled right after.
template <typename T>
struct ReusedAllocator : LeavesNewElementsUnset {
    using value_type = T;
    ReusedAllocator() = default;
    template <typename U>
    ReusedAllocator(const ReusedAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(takeMemory(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { giveBackMemory(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const ReusedAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const ReusedAllocator<U>&) const noexcept {
        return false;
    }
};

template <typename T>
using ReusedVector = std::vector<T, ReusedAllocator<T>>;

template <typename T>
bool operator==(const ReusedVector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace vexa
