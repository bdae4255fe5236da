#include "core/threads.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace vexa {

namespace {
std::atomic<unsigned> limitSetting{0};
}  // namespace

unsigned allowedCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void setThreadLimit(unsigned limit) { limitSetting.store(limit, std::memory_order_relaxed); }
unsigned threadLimit() { return limitSetting.load(std::memory_order_relaxed); }

unsigned threadBudget() {
    const unsigned cpus = allowedCpus(), limit = threadLimit();
    return limit == 0 ? cpus : std::min(cpus, limit);
}

}  // namespace vexa
