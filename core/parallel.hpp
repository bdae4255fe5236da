#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "core/threads.hpp"

namespace vexa {

// Runs task(i) for every i in [0, count) on at most `threads` threads, the
// calling thread among them, and returns when all are done. Tasks are taken
// in ascending order as threads free up. The first exception thrown is
// rethrown once every thread has stopped; tasks not yet started are skipped.
template <typename Task>
void parallelFor(size_t count, unsigned threads, Task&& task) {
    const size_t workers = std::min<size_t>(count, std::max(1u, threads));
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i) task(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    auto work = [&] {
        for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;) {
            try {
                task(i);
            } catch (...) {
                if (!failed.exchange(true)) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    try {
        for (size_t t = 1; t < workers; ++t) helpers.emplace_back(work);
    } catch (...) {
        failed = true;  // no thread could start: finish with those running
        for (std::thread& h : helpers) h.join();
        throw;
    }
    work();
    for (std::thread& h : helpers) h.join();
    if (failure) std::rethrow_exception(failure);
}

// Runs first on the calling thread and second on a helper thread when
// `parallel` is true and the budget allows two threads (one after the other
// otherwise), and returns when both are done.
template <typename First, typename Second>
void runBoth(bool parallel, First&& first, Second&& second) {
    parallelFor(2, parallel ? threadBudget() : 1, [&](size_t i) { i == 0 ? first() : second(); });
}

}  // namespace vexa
