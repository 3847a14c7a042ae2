#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/app_delegate.h"
#include "backend/pid_list.h"
#include "platform/posix/clock.h"
#include "platform/posix/proc.h"

namespace kestrix {

/*
 * Stopping the Backend service and everything it started. There is one way
 * to stop, and it runs in three places:
 *
 * - the quit (terminateBackend, below, on the main thread);
 * - the service's unexpected end: its keeper stops what the service left
 *   before it reports the end, so the exit alert, whichever way it is
 *   answered, starts from nothing;
 * - the next start, after a shell that was killed (stopLostService).
 *
 * The way: SIGTERM to each process; a grace of 3 s, cut short the moment
 * the last of them has gone; then SIGKILL to whatever is left, again until
 * nothing is. "Each process" is, for the keeper, every process below it,
 * found in /proc: the service, its group, and daemons that left the group
 * or the session (the keeper is their subreaper); at the next start it is
 * what the record proves ours.
 *
 * At the quit, the service itself gets the request it always got. isQuitting
 * is set first, before any signal, so the exit this causes is not reported;
 * with nothing recorded (backendPGID < 1) that is all.
 *
 * 1. Request: started through setsid, the service leads its own process
 *    group, and the group gets SIGTERM; at the same moment the keeper sends
 *    it to every other process below it, and keeps the grace for all of
 *    them, the group included. Started directly, only the service gets
 *    SIGTERM.
 * 2. Grace: up to 3 s from just after the request; we wake the moment the
 *    keeper reports the service's end.
 * 3. Force: started through setsid, the keeper's SIGKILL covers the group.
 *    Started directly, with the service still running: SIGKILL to every
 *    process of its tree, each after all of its descendants, the children
 *    listed (pgrep -P) while their parent is still alive. Then the keeper
 *    stops whatever that walk did not reach (the children of a service that
 *    has exited, daemons that left), in the same way.
 * 4. backendPGID goes back to 0, the task is released (which lets the keeper
 *    exit) and the record removed; usedSetsid and isQuitting keep their
 *    values.
 */
void AppDelegate::terminateBackend() {
    isQuitting.store(true);

    const std::int32_t id = backendPGID;
    if (id < 1) return;

    if (const auto task = backendTask.load()) {
        if (usedSetsid) {
            task->signalGroup(SIGTERM);
            task->stopTree(id);
        } else {
            task->terminate();
        }
        const auto requested = Clock::now();
        const bool serviceEnded = task->waitUntilExit(requested + graceDuration());
        if (!usedSetsid) {
            if (!serviceEnded) killProcessTree(id);
            task->stopTree(0);
        }
        // Bounded: a process that even SIGKILL cannot end (stuck in the
        // kernel) is left to the keeper, which goes on without us.
        task->waitForTree(Clock::now() + graceDuration() + std::chrono::seconds(1));
    }

    backendPGID = 0;
    backendTask.store(nullptr);
    forgetService(id);
}

void AppDelegate::stopProcesses(const std::vector<pid_t>& pids, Clock::duration grace) {
    if (pids.empty()) return;
    const auto left = [&pids] {
        std::vector<pid_t> alive;
        for (pid_t pid : pids)
            if (const auto info = platform::processInfo(pid); info && info->alive())
                alive.push_back(pid);
        return alive;
    };
    for (pid_t pid : pids) ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + grace;
    // Until they have died after SIGKILL too, which takes a moment on a
    // loaded machine; bounded all the same.
    const auto end = deadline + std::chrono::seconds(1);
    for (auto alive = left(); !alive.empty() && Clock::now() < end; alive = left()) {
        if (Clock::now() >= deadline)
            for (pid_t pid : alive) ::kill(pid, SIGKILL);
        pollPause();
    }
}

AppDelegate::Clock::duration AppDelegate::graceDuration() const {
    return platform::seconds(settings_.shutdownGraceSeconds);
}

void AppDelegate::pollPause() const {
    std::this_thread::sleep_for(platform::seconds(settings_.shutdownPollSeconds));
}

void AppDelegate::killProcessTree(pid_t pid) {
    // Ids below 1 name process groups or every process we may signal; a
    // stray line of the lister's output must never reach kill() as one.
    if (pid < 1) return;
    for (pid_t child : childPIDs(pid)) killProcessTree(child);
    ::kill(pid, SIGKILL);
}

std::vector<pid_t> AppDelegate::childPIDs(pid_t pid) const {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);

    platform::LaunchOptions options;
    options.executable = settings_.pgrepPath;
    options.arguments = {"-P", std::to_string(pid)};
    options.environment = platform::currentEnvironment();
    options.outputFd = pipeFds[1];
    options.errorFd = devNull;
    const platform::SpawnResult spawned = platform::spawnProcess(options);
    ::close(pipeFds[1]);
    if (devNull >= 0) ::close(devNull);
    if (!spawned) {
        ::close(pipeFds[0]);
        return {};
    }

    // Drain while it runs, so that no output can fill the pipe and stall it.
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(spawned.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return parsePidList(output);
}

}  // namespace kestrix
