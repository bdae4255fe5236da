#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/threads.hpp"

namespace vexa {

// Runs task(i) for every i in [0, count) on at most `threads` threads, the
// calling thread among them, and returns when all are done. Tasks are taken
// in ascending order as threads free up. The first exception thrown is
// rethrown once every thread has stopped; tasks not yet started are skipped.
// A calling thread that runs out of tasks keeps asking the host whether the
// user wants to stop while it waits, so that an interrupt reaches helpers
// that only learn of it through the caller.
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
    std::mutex failureLock;
    auto fail = [&] {
        std::lock_guard<std::mutex> hold(failureLock);
        if (!failed.exchange(true)) failure = std::current_exception();
    };
    auto work = [&] {
        for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;) {
            try {
                task(i);
            } catch (...) {
                fail();
            }
        }
    };
    std::mutex doneLock;
    std::condition_variable doneSignal;
    size_t running = 0;
    auto helperWork = [&] {
        work();
        std::lock_guard<std::mutex> hold(doneLock);
        --running;
        doneSignal.notify_one();
    };
    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    try {
        for (size_t t = 1; t < workers; ++t) {
            {
                std::lock_guard<std::mutex> hold(doneLock);
                ++running;
            }
            try {
                helpers.emplace_back(helperWork);
            } catch (...) {
                std::lock_guard<std::mutex> hold(doneLock);
                --running;
                throw;
            }
        }
    } catch (...) {
        failed = true;  // no thread could start: finish with those running
        for (std::thread& h : helpers) h.join();
        throw;
    }
    work();
    {
        std::unique_lock<std::mutex> hold(doneLock);
        while (running > 0) {
            if (doneSignal.wait_for(hold, std::chrono::milliseconds(20), [&] { return running == 0; })) break;
            hold.unlock();
            try {
                checkInterrupt();
            } catch (...) {
                fail();
            }
            hold.lock();
        }
    }
    for (std::thread& h : helpers) h.join();
    if (failure) std::rethrow_exception(failure);
}

// Splits [0, n) into `parts` contiguous ranges in order and runs
// body(t, begin, end) for range t, on up to `threads` threads.
template <typename Body>
void forEachRange(uint64_t n, size_t parts, unsigned threads, Body&& body) {
    parts = std::max<size_t>(parts, 1);
    parallelFor(parts, threads, [&](size_t t) { body(t, n * t / parts, n * (t + 1) / parts); });
}

// Runs first on the calling thread and second on a helper thread when
// `parallel` is true and the budget allows two threads (one after the other
// otherwise), and returns when both are done.
template <typename First, typename Second>
void runBoth(bool parallel, First&& first, Second&& second) {
    parallelFor(2, parallel ? threadBudget() : 1, [&](size_t i) { i == 0 ? first() : second(); });
}

}  // namespace vexa
