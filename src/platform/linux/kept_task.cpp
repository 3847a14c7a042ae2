#include "platform/kept_task.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "keeper/protocol.h"
#include "platform/processes.h"
#include "platform/linux/stop.h"

namespace kestrix::platform {

struct KeptTask::State {
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex:
    keeper::Reports reports;
    bool keeperReaped = false;
    bool gone = false;       // the keeper has exited, and its loss has been dealt with
    bool abandoned = false;  // no handler any more
    bool stopSent = false;
    std::atomic<bool> running{false};
    int lifeline = -1;  // the shell's end

    ~State() {
        if (lifeline >= 0) ::close(lifeline);
    }
};

namespace {

// One packet from the keeper; false at the lifeline's end.
bool receive(int fd, std::string& packet) {
    char buffer[64];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) < 0 && errno == EINTR) {
    }
    if (n <= 0) return false;
    packet.assign(buffer, static_cast<size_t>(n));
    return true;
}

// Reads the keeper's reports until it has gone.
void watch(pid_t keeperPid, const std::shared_ptr<KeptTask::State>& state,
           const KeptTask::TerminationHandler& handler) {
    for (std::string packet; receive(state->lifeline, packet);) {
        std::unique_lock lock(state->mutex);
        if (state->reports.take(packet)) {
            state->running.store(false);
            const bool call = !state->abandoned;
            const pid_t pid = state->reports.pid;
            lock.unlock();
            state->changed.notify_all();
            if (call && handler) handler(pid, false);
            continue;
        }
        state->running.store(state->reports.pid > 0 && !state->reports.status);
        lock.unlock();
        state->changed.notify_all();
    }
    // The keeper has gone. Wait without reaping first, so that abandon()
    // (which holds the lock) only ever kills our keeper or its zombie, never
    // a process that has taken over a reused pid.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(keeperPid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    bool lost;
    pid_t pid;
    {
        std::lock_guard lock(state->mutex);
        while (::waitpid(keeperPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        state->keeperReaped = true;
        auto& reports = state->reports;
        if (!reports.answered) reports.take({});
        // Killed before it told the program's end: nothing stopped what it held.
        lost = reports.pid > 0 && !reports.status;
        if (lost) reports.status = -1;
        state->running.store(false);
        lost = lost && !state->abandoned;
        pid = reports.pid;
    }
    state->changed.notify_all();
    if (lost && handler) handler(pid, true);
    {
        std::lock_guard lock(state->mutex);
        state->gone = true;
    }
    state->changed.notify_all();
}

}  // namespace

KeptTask::Launch KeptTask::launch(int keeperFd, std::chrono::milliseconds grace,
                                  const std::string& pgrepPath, const LaunchOptions& options,
                                  TerminationHandler onTermination) {
    // A keeper that could not be opened at the start is missing.
    if (keeperFd < 0) return {nullptr, ENOENT};
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return {nullptr, errno};

    LaunchOptions keeperOptions = options;
    keeperOptions.executable = "kestrix-v3-keeper";
    keeperOptions.executableFd = keeperFd;
    keeperOptions.arguments = {std::to_string(grace.count()),
                               options.newSession ? "setsid" : "direct", pgrepPath,
                               options.executable};
    keeperOptions.arguments.insert(keeperOptions.arguments.end(), options.arguments.begin(),
                                   options.arguments.end());
    keeperOptions.newSession = false;
    keeperOptions.passFds = {pair[1]};
    const SpawnResult spawned = spawnProcess(keeperOptions);
    ::close(pair[1]);
    if (!spawned) {
        ::close(pair[0]);
        return {nullptr, spawned.errorNumber};
    }

    auto state = std::make_shared<State>();
    state->lifeline = pair[0];
    std::thread([keeperPid = spawned.pid, state, handler = std::move(onTermination)] {
        watch(keeperPid, state, handler);
    }).detach();
    return {std::shared_ptr<KeptTask>(new KeptTask(spawned.pid, state)), 0};
}

KeptTask::KeptTask(pid_t keeper, std::shared_ptr<State> state)
    : keeper_(keeper), state_(std::move(state)) {}

KeptTask::~KeptTask() {
    // The keeper reads this as its lifeline closing. The descriptor itself
    // stays open until the watcher, which reads from it, is done too.
    ::shutdown(state_->lifeline, SHUT_WR);
}

bool KeptTask::answered() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.answered;
}

int KeptTask::startError() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.startError;
}

void KeptTask::abandon(std::chrono::steady_clock::duration grace) {
    std::vector<ProcessInfo> started;
    {
        std::lock_guard lock(state_->mutex);
        state_->abandoned = true;
        if (!state_->keeperReaped) {
            started = liveDescendants(keeper_);
            ::kill(keeper_, SIGKILL);
        }
    }
    // Handed to another parent now: each is known by its id and start time.
    stopKnownProcesses(started, grace);
    // And the keeper reaped, so that nothing of the start is left behind.
    waitUntilGone(std::chrono::steady_clock::now() + grace);
}

pid_t KeptTask::processIdentifier() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.pid;
}

bool KeptTask::isRunning() const {
    return state_->running.load();
}

void KeptTask::stop() {
    {
        std::lock_guard lock(state_->mutex);
        if (std::exchange(state_->stopSent, true)) return;
    }
    const keeper::Message message{keeper::kStop, 0};
    // MSG_NOSIGNAL: a keeper that has gone must not take us with it.
    [[maybe_unused]] const ssize_t n =
        ::send(state_->lifeline, &message, sizeof message, MSG_NOSIGNAL);
}

bool KeptTask::waitUntilGone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline, [&] { return state_->gone; });
}

bool KeptTask::waitUntilExit(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline,
                                      [&] { return state_->reports.status.has_value(); });
}

std::optional<int> KeptTask::terminationStatus() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.status;
}

}  // namespace kestrix::platform
