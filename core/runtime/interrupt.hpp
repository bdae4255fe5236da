#pragma once
#include <cstdint>
#include <exception>

// Long native work stops at safe points when the user asks it to (Ctrl-C).
// The core knows nothing of the host: the host (the Python module) installs
// a check once, and loops that can run long poll it through InterruptPoll.
namespace vexa {

// Thrown at a safe point once the host has reported a request to stop.
// Work that throws it leaves nothing half-built reachable.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "Interrupted."; }
};

// The host's check: true when the user asked to stop. It may be called from
// any thread, with or without the host's locks; null means "never".
using InterruptCheck = bool (*)();
void setInterruptCheck(InterruptCheck check);

// Asks the host now; throws Interrupted when it says stop.
void checkInterrupt();

// Counts work and asks the host once every `period` units: cheap enough for
// the innermost loops (a decrement and a branch per step).
class InterruptPoll {
public:
    explicit InterruptPoll(uint32_t period = uint32_t(1) << 18) : period_(period), left_(period) {}
    void step(uint32_t work = 1) {
        if (work >= left_) {
            left_ = period_;
            checkInterrupt();
        } else {
            left_ -= work;
        }
    }

private:
    uint32_t period_;
    uint32_t left_;
};

}  // namespace vexa
