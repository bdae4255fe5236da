#pragma once
// A std::vector whose resize leaves new elements of trivial types unset, for
// arrays that are filled right after, often by several threads: the fill
// then touches the pages first, in parallel, instead of a serial zeroing.
#include <algorithm>
#include <memory>
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

template <typename T>
struct UninitialisedAllocator : std::allocator<T>, LeavesNewElementsUnset {
    using LeavesNewElementsUnset::construct;
    template <typename U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <typename U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
};

template <typename T>
using UninitialisedVector = std::vector<T, UninitialisedAllocator<T>>;

template <typename T>
bool operator==(const UninitialisedVector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace vexa
