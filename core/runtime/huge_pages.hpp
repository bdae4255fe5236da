#pragma once
// An uninitialised array on huge pages when large: arrays read at scattered
// places (a neighbour a row or a plane away, the pixel at some position of a
// sorted order) miss the TLB at nearly every read of a large image with 4 KiB
// pages. Its memory comes from the blocks kept for reuse.
#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/runtime/reused_memory.hpp"

namespace vexa {

template <typename T>
class HugePageArray {
public:
    HugePageArray() = default;
    explicit HugePageArray(uint64_t count)
        : data_(static_cast<T*>(takeMemory(size_t(count) * sizeof(T), true))), size_(count) {}
    ~HugePageArray() { giveBackMemory(data_, size_t(size_) * sizeof(T)); }
    HugePageArray(const HugePageArray&) = delete;
    HugePageArray& operator=(const HugePageArray&) = delete;
    HugePageArray(HugePageArray&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    HugePageArray& operator=(HugePageArray&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    T& operator[](uint64_t i) { return data_[i]; }
    const T& operator[](uint64_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    T* data_ = nullptr;
    uint64_t size_ = 0;
};

}  // namespace vexa
