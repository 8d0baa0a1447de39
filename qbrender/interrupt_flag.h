#pragma once

#include <csignal>

// Ctrl-C handling for renders. While an InterruptGuard lives, SIGINT only sets a flag that the
// host's progress callback polls (cancelRequested()) and answers with the cancel status, so the
// effect stops at its next progress check and cleans up. The handler removes itself when it
// runs: a second Ctrl-C ends a process whose effect no longer polls progress.
class InterruptGuard {
public:
    // Installs the handler and clears the flag.
    InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
    // Restores the SIGINT action that was in place before.
    ~InterruptGuard();

private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

// True once SIGINT arrived (or requestCancel() was called) since the last clear.
bool cancelRequested();
void requestCancel();
void clearCancelRequest();
