#include "qbrender/interrupt_flag.h"

#include <atomic>

namespace {
// Written by the signal handler: a lock-free atomic is safe to store from one.
std::atomic<bool> g_cancel_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int) { g_cancel_requested.store(true, std::memory_order_relaxed); }
}  // namespace

InterruptGuard::InterruptGuard() {
    clearCancelRequest();
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    installed_ = sigaction(SIGINT, &action, &previous_) == 0;
}

InterruptGuard::~InterruptGuard() {
    if (installed_) {
        sigaction(SIGINT, &previous_, nullptr);
    }
}

bool cancelRequested() { return g_cancel_requested.load(std::memory_order_relaxed); }

void requestCancel() { g_cancel_requested.store(true, std::memory_order_relaxed); }

void clearCancelRequest() { g_cancel_requested.store(false, std::memory_order_relaxed); }
