#pragma once
#include <cstddef>

// How many threads native work may use.
namespace vexa {

// The CPUs this process may run on: its affinity mask, and the CPU quota of
// its control group where one is set (rounded up). At least 1.
unsigned allowedCpus();

// A cap set by the host (0 means none). Until the host sets one, the
// environment variable VEXA_NUM_THREADS gives it.
void setThreadLimit(unsigned limit);
unsigned threadLimit();

// The host's default cap when no limit is set (0 means none), e.g. 1 inside
// a data-loader worker process. Called on the thread that starts the work.
using HostThreadCap = unsigned (*)();
void setHostThreadCap(HostThreadCap cap);

// Threads that parallel work may use: the CPUs allowed, capped by the limit
// (or, without one, by the host's default). Ask it on the thread that starts
// the work, never on a helper.
unsigned threadBudget();

}  // namespace vexa
