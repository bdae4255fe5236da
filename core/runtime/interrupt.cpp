#include "core/runtime/interrupt.hpp"

#include <atomic>

namespace vexa {

namespace {
std::atomic<InterruptCheck> installedCheck{nullptr};
}  // namespace

void setInterruptCheck(InterruptCheck check) { installedCheck.store(check, std::memory_order_release); }

void checkInterrupt() {
    const InterruptCheck check = installedCheck.load(std::memory_order_acquire);
    if (check && check()) throw Interrupted();
}

}  // namespace vexa
