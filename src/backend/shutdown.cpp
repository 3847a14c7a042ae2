#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "app/app_delegate.h"
#include "backend/pid_list.h"

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
 * 2. Grace: up to 3 s from just after the request, polling every 0.1 s
 *    whether the service still runs (its watcher thread flips the flag while
 *    we sleep here).
 * 3. Force, only if it still runs: SIGKILL to the group; or, started
 *    directly, SIGKILL to every process of its tree, each after all of its
 *    descendants, the children listed while their parent is still alive.
 * 4. backendPGID goes back to 0 and the task is released; usedSetsid and
 *    isQuitting keep their values.
 */
void AppDelegate::terminateBackend() {
    isQuitting.store(true);

    const std::int32_t id = backendPGID;
    if (id < 1) return;

    if (usedSetsid) {
        ::kill(-id, SIGTERM);
    } else if (auto task = backendTask.load()) {
        task->terminate();
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(settings_.shutdownGraceSeconds));
    for (;;) {
        const auto task = backendTask.load();
        if (!task) break;
        if (!task->isRunning()) break;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::duration<double>(settings_.shutdownPollSeconds));
    }

    if (const auto task = backendTask.load(); task && task->isRunning()) {
        if (usedSetsid) {
            ::kill(-id, SIGKILL);
        } else {
            killProcessTree(id);
        }
    }

    backendPGID = 0;
    backendTask.store(nullptr);
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
