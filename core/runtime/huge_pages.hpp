#pragma once
// An uninitialised array that asks the kernel for huge pages when large:
// arrays read at scattered places (a neighbour a row or a plane away, the
// pixel at some position of a sorted order) miss the TLB at nearly every
// read of a large image with 4 KiB pages.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace vexa {

template <typename T>
class HugePageArray {
public:
    HugePageArray() = default;
    explicit HugePageArray(uint64_t count) : size_(count) {
        const size_t bytes = std::max<size_t>(size_t(count) * sizeof(T), 1);
        constexpr size_t kHuge = size_t(1) << 21;
        if (bytes >= kHuge) {
            data_ = static_cast<T*>(std::aligned_alloc(kHuge, (bytes + kHuge - 1) / kHuge * kHuge));
            if (data_) madvise(data_, bytes, MADV_HUGEPAGE);
        } else {
            data_ = static_cast<T*>(std::malloc(bytes));
        }
        if (!data_) throw std::bad_alloc();
    }
    ~HugePageArray() { std::free(data_); }
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
