#include <chrono>

#include "app/app_delegate.h"
#include "platform/clock.h"

namespace kestrix {

/*
 * Stopping the Backend service and everything it started. The keeper is
 * the one place that stops anything (see keeper/keeper.cpp for its one
 * sequence); here the shell says "stop" once and waits once.
 *
 * isQuitting is set first, before any signal, so the exit this causes is
 * not reported. A start still waiting for its keeper's first word is given
 * up. With nothing recorded (backendPGID < 1) that is all.
 *
 * Otherwise the keeper stops the service in its launch mode: through
 * setsid, SIGTERM to its group and to every other process below the keeper;
 * started directly, SIGTERM to the service alone and, should it still run
 * after the 3 s grace, its tree killed deepest first (pgrep -P), then what
 * else is below the keeper. SIGKILL follows the grace until nothing is left,
 * and the keeper exits. We wait for that, bounded: a process that even
 * SIGKILL cannot end (stuck in the kernel) is left to the keeper, which goes
 * on without us.
 *
 * Then backendPGID goes back to 0, the task is released and the record
 * removed; usedSetsid and isQuitting keep their values.
 */
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
