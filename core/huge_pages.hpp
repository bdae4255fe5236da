#pragma once
#include <sys/mman.h>

#include <cstdint>
#include <vector>

namespace vexa {

// Reserves room for n elements and asks the kernel to back the block with
// huge pages before it is first touched: building a tree over millions of
// pixels otherwise spends a good part of its time in page faults.
template <typename T>
void reserveWithHugePages(std::vector<T>& v, size_t n) {
    v.reserve(n);
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(v.data()) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(v.data()) + n * sizeof(T)) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// A vector of n value-initialised elements, backed by huge pages where possible.
template <typename T>
std::vector<T> hugeVector(size_t n, const T& value = T()) {
    std::vector<T> v;
    reserveWithHugePages(v, n);
    v.assign(n, value);
    return v;
}

}  // namespace vexa
