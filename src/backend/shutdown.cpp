#include <chrono>

#include "app/app_delegate.h"
#include "platform/clock.h"

namespace kestrix {

// Stopping the Backend service and everything it started. The keeper is the
// one place that stops anything, in the one sequence keeper/keeper.cpp
// describes; here the shell says "stop" once and waits once, bounded (the
// grace and a second): a process that even SIGKILL cannot end is left to
// the keeper, which goes on without us.
//
// isQuitting is set first, before any signal, so that the end this causes
// is not reported. A start still waiting for its keeper's first word is
// given up. Then backendPGID goes back to 0, the task is released and the
// record removed.
void AppDelegate::terminateBackend() {
    isQuitting.store(true);
    if (starting_) starting_->abandon();

    const std::int32_t id = backendPGID;
    if (id < 1) return;

    if (const auto task = backendTask.load()) {
        task->stop();
        task->waitUntilGone(Clock::now() + graceDuration() + std::chrono::seconds(1));
    }

    backendPGID = 0;
    backendTask.store(nullptr);
    guard_.forget(id);
}

AppDelegate::Clock::duration AppDelegate::graceDuration() const {
    return platform::seconds(settings_.shutdownGraceSeconds);
}

}  // namespace kestrix
