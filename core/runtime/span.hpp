#pragma once
#include <cstddef>
#include <vector>

namespace vexa {

// A read-only view of a contiguous run of values (C++17 has no std::span).
template <typename T>
class Span {
public:
    Span() = default;
    Span(const T* data, size_t size) : data_(data), size_(size) {}
    Span(const std::vector<T>& values) : data_(values.data()), size_(values.size()) {}
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    const T* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace vexa
