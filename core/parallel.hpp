#pragma once
#include <exception>
#include <thread>

namespace vexa {

// Runs first on the calling thread and second on a helper thread when
// `parallel` is true (one after the other otherwise), and returns when both
// are done. An exception of either is rethrown after both have finished.
template <typename First, typename Second>
void runBoth(bool parallel, First&& first, Second&& second) {
    if (!parallel || std::thread::hardware_concurrency() < 2) {
        first();
        second();
        return;
    }
    std::exception_ptr failure;
    std::thread helper([&] {
        try {
            second();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    try {
        first();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vexa
