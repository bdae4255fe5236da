#pragma once
#include <cstddef>

// How many threads native work may use.
namespace vexa {

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned allowedCpus();

// A cap set by the host; 0 means none.
void setThreadLimit(unsigned limit);
unsigned threadLimit();

// Threads that parallel work may use: the CPUs allowed, capped by the limit.
unsigned threadBudget();

}  // namespace vexa
