#pragma once
// A set of positions in the sorted order of the pixels (or of any range of
// integers), marked by several threads at once, and how many marked
// positions come before each one: positions become dense indices without a
// sort.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/runtime/parallel.hpp"
#include "core/trees/level_keys.hpp"

namespace vexa {

class MarkedPositions {
public:
    // Positions below `bound`. mark(task, set) runs for every task in
    // [0, tasks), on up to `threads` threads; set(position) marks one. Each
    // thread's tasks mark a bitmap of its own (threads setting bits of
    // shared words would fight over them), and the bitmaps are joined after.
    template <typename Mark>
    MarkedPositions(uint64_t bound, size_t tasks, unsigned threads, Mark mark) : words_((bound + 63) / 64) {
        const size_t groups = std::max<size_t>(1, std::min<size_t>(tasks, threads));
        std::vector<std::vector<uint64_t>> bitmaps(groups);
        parallelFor(groups, threads, [&](size_t g) {
            bitmaps[g].assign(words_, 0);
            uint64_t* bits = bitmaps[g].data();
            for (size_t task = tasks * g / groups; task < tasks * (g + 1) / groups; ++task)
                mark(task, [bits](uint64_t at) { bits[at >> 6] |= uint64_t(1) << (at & 63); });
        });
        bits_ = std::move(bitmaps[0]);
        if (groups > 1)
            forEachRange(words_, threads, threads, [&](size_t, uint64_t first, uint64_t last) {
                for (uint64_t w = first; w < last; ++w)
                    for (size_t g = 1; g < groups; ++g) bits_[w] |= bitmaps[g][w];
            });
        before_.resize(words_ + 1);
        before_[0] = 0;
        for (uint64_t w = 0; w < words_; ++w) before_[w + 1] = before_[w] + SortedLevels::bitCount(bits_[w]);
    }

    uint64_t count() const { return before_[words_]; }
    // The marked positions below `at`.
    uint32_t before(uint64_t at) const {
        return before_[at >> 6] + SortedLevels::bitCount(bits_[at >> 6] & ((uint64_t(1) << (at & 63)) - 1));
    }
    // visit(position, index) for every marked position, index =
    // before(position), over ranges of words on up to `threads` threads.
    template <typename Visit>
    void forEach(unsigned threads, Visit visit) const {
        forEachRange(words_, threads, threads, [&](size_t, uint64_t first, uint64_t last) {
            for (uint64_t w = first; w < last; ++w) {
                uint32_t index = before_[w];
                for (uint64_t bits = bits_[w]; bits; bits &= bits - 1)
                    visit(w * 64 + uint64_t(__builtin_ctzll(bits)), index++);
            }
        });
    }

private:
    uint64_t words_;
    std::vector<uint64_t> bits_;
    std::vector<uint32_t> before_;  // marked positions in the words before each
};

}  // namespace vexa
