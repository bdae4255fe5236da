#pragma once
#include <cstdint>
#include <vector>

namespace vexa {

// Set of unordered pairs of 32-bit values (stored as lo << 32 | hi), with
// open addressing and linear probing; grows to stay at most half full.
class PairSet {
public:
    explicit PairSet(uint64_t expected = 1024) { rehash(expected * 2); }

    // Adds the pair; returns false when it was already there. lo < hi.
    bool insert(uint32_t lo, uint32_t hi) {
        const uint64_t key = uint64_t(lo) << 32 | hi;
        uint64_t i = (key * 0x9E3779B97F4A7C15ull) >> shift_;
        while (slots_[i] != kEmpty) {
            if (slots_[i] == key) return false;
            i = (i + 1) & mask_;
        }
        slots_[i] = key;
        if (2 * ++size_ > slots_.size()) rehash(4 * size_);
        return true;
    }
    uint64_t size() const { return size_; }

private:
    // lo == hi never occurs, so all ones is free.
    static constexpr uint64_t kEmpty = ~uint64_t(0);

    void rehash(uint64_t capacity) {
        int bits = 4;
        while ((uint64_t(1) << bits) < capacity) ++bits;
        std::vector<uint64_t> old(uint64_t(1) << bits, kEmpty);
        old.swap(slots_);
        mask_ = (uint64_t(1) << bits) - 1;
        shift_ = 64 - bits;
        for (uint64_t key : old) {
            if (key == kEmpty) continue;
            uint64_t i = (key * 0x9E3779B97F4A7C15ull) >> shift_;
            while (slots_[i] != kEmpty) i = (i + 1) & mask_;
            slots_[i] = key;
        }
    }

    std::vector<uint64_t> slots_;
    uint64_t mask_ = 0;
    int shift_ = 0;
    uint64_t size_ = 0;
};

}  // namespace vexa
