#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/app_delegate.h"
#include "backend/pid_list.h"
#include "platform/posix/proc.h"

namespace kestrix {

/*
 * Stopping the Backend service, on the main thread, when the application ends.
 *
 * isQuitting is set first, before any signal, so the exit this causes is not
 * reported. With nothing recorded (backendPGID < 1) that is all.
 *
 * 1. Request: started through setsid, the service leads its own process
 *    group and the whole group gets SIGTERM; started directly, only the
 *    service gets SIGTERM.
 * 2. Grace: up to 3 s from just after the request. The service's watcher
 *    thread wakes us the moment it has reaped the service. Started through
 *    setsid, the wait goes on while any member of its group lives: they were
 *    started by the service, and the user asked to quit it.
 * 3. Force: SIGKILL to the group, should the service or any member still
 *    live; or, started directly and the service still running, SIGKILL to
 *    every process of its tree, each after all of its descendants, the
 *    children listed while their parent is still alive.
 * 4. backendPGID goes back to 0, the task is released and the record of the
 *    service removed; usedSetsid and isQuitting keep their values.
 */
void AppDelegate::terminateBackend() {
    isQuitting.store(true);

    const std::int32_t id = backendPGID;
    if (id < 1) return;

    const auto task = backendTask.load();
    if (usedSetsid) {
        // Until setsid has made it a group of its own (a quit right after
        // the launch), the service is reached by itself.
        if (::kill(-id, SIGTERM) != 0 && task) task->terminate();
    } else if (task) {
        task->terminate();
    }
    const auto deadline = graceDeadline();
    const bool serviceEnded = !task || task->waitUntilExit(deadline);

    if (usedSetsid) {
        finishGroup(id, deadline);
        if (!serviceEnded) task->signal(SIGKILL);
    } else if (!serviceEnded) {
        killProcessTree(id);
    }

    backendPGID = 0;
    backendTask.store(nullptr);
    forgetService(id);
}

void AppDelegate::stopGroup(pid_t pgid) {
    if (!platform::groupHasLiveMembers(pgid)) return;
    ::kill(-pgid, SIGTERM);
    finishGroup(pgid, graceDeadline());
}

void AppDelegate::finishGroup(pid_t pgid, Clock::time_point deadline) {
    bool killed = false;
    while (platform::groupHasLiveMembers(pgid)) {
        if (Clock::now() >= deadline) {
            if (killed) return;
            ::kill(-pgid, SIGKILL);
            // Until they have died, which takes a moment on a loaded machine.
            killed = true;
            deadline = graceDeadline();
        }
        pollPause();
    }
}

AppDelegate::Clock::time_point AppDelegate::graceDeadline() const {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(settings_.shutdownGraceSeconds));
}

void AppDelegate::pollPause() const {
    std::this_thread::sleep_for(std::chrono::duration<double>(settings_.shutdownPollSeconds));
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
