#include "core/runtime/threads.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace vexa {

namespace {

constexpr unsigned kUnset = ~0u;
std::atomic<unsigned> limitSetting{kUnset};
std::atomic<HostThreadCap> hostCap{nullptr};

// CPUs granted by a quota over a period, rounded up; 0 when unlimited.
unsigned quotaCpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return 0;
    return unsigned(std::max(1LL, (quota + period - 1) / period));
}

// The process's control group path in a hierarchy ("" for cgroup v2).
std::string cgroupPath(const std::string& controller) {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line)) {
        const size_t a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        bool match = controller.empty() ? controllers.empty() : false;
        for (size_t s = 0; !controller.empty() && s <= controllers.size();) {
            const size_t e = std::min(controllers.find(',', s), controllers.size());
            if (controllers.compare(s, e - s, controller) == 0) match = true;
            s = e + 1;
        }
        if (match) return line.substr(b + 1);
    }
    return "/";
}

// The tightest CPU quota on the way from the process's group to the root of
// the mounted hierarchy (cgroup v2, then v1); 0 when none is set. Read once:
// quotas of a running process seldom change.
unsigned readCgroupQuota() {
    unsigned best = 0;
    auto consider = [&](unsigned cpus) {
        if (cpus) best = best ? std::min(best, cpus) : cpus;
    };
    auto walk = [&](const std::string& root, std::string path, auto&& read) {
        for (;;) {
            read(root + (path == "/" ? "" : path));
            if (path.empty() || path == "/") break;
            path = path.substr(0, path.rfind('/'));
            if (path.empty()) path = "/";
        }
    };
    walk("/sys/fs/cgroup", cgroupPath(""), [&](const std::string& dir) {
        std::ifstream file(dir + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (file >> quota >> period && quota != "max") consider(quotaCpus(std::atoll(quota.c_str()), period));
    });
    for (const char* mount : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        walk(mount, cgroupPath("cpu"), [&](const std::string& dir) {
            std::ifstream q(dir + "/cpu.cfs_quota_us"), p(dir + "/cpu.cfs_period_us");
            long long quota = 0, period = 0;
            if (q >> quota && p >> period) consider(quotaCpus(quota, period));
        });
    }
    return best;
}

unsigned cgroupQuota() {
    static const unsigned quota = readCgroupQuota();
    return quota;
}

unsigned environmentLimit() {
    const char* text = std::getenv("VEXA_NUM_THREADS");
    if (!text || !*text) return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 ? unsigned(std::min(value, 1L << 16)) : 0;
}

}  // namespace

unsigned allowedCpus() {
    unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = unsigned(std::max(1, CPU_COUNT(&set)));
    const unsigned quota = cgroupQuota();
    return quota ? std::min(cpus, quota) : cpus;
}

void setThreadLimit(unsigned limit) { limitSetting.store(limit, std::memory_order_relaxed); }

unsigned threadLimit() {
    unsigned limit = limitSetting.load(std::memory_order_relaxed);
    if (limit == kUnset) {
        static std::once_flag once;
        std::call_once(once, [] {
            unsigned expected = kUnset;
            limitSetting.compare_exchange_strong(expected, environmentLimit());
        });
        limit = limitSetting.load(std::memory_order_relaxed);
    }
    return limit;
}

void setHostThreadCap(HostThreadCap cap) { hostCap.store(cap); }

unsigned threadBudget() {
    const unsigned cpus = allowedCpus();
    unsigned limit = threadLimit();
    if (limit == 0) {
        const HostThreadCap cap = hostCap.load();
        limit = cap ? cap() : 0;
    }
    return limit == 0 ? cpus : std::min(cpus, limit);
}

}  // namespace vexa
