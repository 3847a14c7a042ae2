#include "platform/kept_task.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/files.h"
#include "platform/linux/interrupted.h"
#include "platform/linux/keeper_protocol.h"
#include "platform/linux/scope.h"
#include "platform/linux/stop.h"

namespace kestrix::platform {

struct KeptTask::State {
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex:
    keeper::Reports reports;
    Scope scope;
    bool keeperReaped = false;
    bool gone = false;       // the keeper has exited, and what it held has been dealt with
    bool abandoned = false;  // no handler any more
    bool stopSent = false;
    std::atomic<bool> running{false};
    // Fixed at the launch:
    Descriptor lifeline;  // the shell's end
    std::string scopeUnit;
    Clock::duration grace{};
    unsigned long long keeperStart = 0;
};

namespace {

// Our keepers, from their start until we have reaped them. Everything else
// of ours outside our session came from below one of them.
std::mutex gKeepersMutex;
std::set<pid_t> gKeepers;

// One packet from the keeper; false at the lifeline's end.
bool receive(int fd, std::string& packet) {
    char buffer[64];
    const ssize_t n = retryInterrupted([&] { return ::recv(fd, buffer, sizeof buffer, 0); });
    if (n <= 0) return false;
    packet.assign(buffer, static_cast<size_t>(n));
    return true;
}

// Our children that came from below a keeper of ours that started at
// `keeperStart`. A keeper starts a session of its own before anything else,
// and a process can be in no session but the one it was born into or one it
// makes: so nothing below a keeper is ever in our session, while the
// toolkit's children are born in it and stay (a child that left it would be
// taken for ours). Our other keepers are known by their ids.
std::vector<ProcessInfo> inheritedChildren(unsigned long long keeperStart) {
    std::lock_guard lock(gKeepersMutex);
    const pid_t self = ::getpid(), session = ::getsid(0);
    std::vector<ProcessInfo> result;
    for (const auto& p : allProcesses())
        if (p.ppid == self && p.sid != session && !gKeepers.contains(p.pid) &&
            p.startTime >= keeperStart)
            result.push_back(p);
    return result;
}

// Stops, and reaps, what a keeper of ours that ended without doing so held:
// `keeper` must be unreaped, so that its id and its session's are still its
// own. Through the user's service manager where the keeper joined a scope
// (every process in it, whatever it made of itself); then, or without one,
// everything that has come to us from below the keeper, each by its id: as
// their parent we hold their ids until we reap them, so none can have been
// reused. A group whose leader we hold is asked as a whole.
void stopWhatTheKeeperHeld(pid_t keeper, const KeptTask::State& state) {
    const auto start = Clock::now();
    const auto inherited = [&] { return inheritedChildren(state.keeperStart); };
    const auto reap = [&] {
        for (const auto& p : inherited())
            if (!p.alive()) ::waitpid(p.pid, nullptr, WNOHANG);
    };
    const bool managed = stopScope(state.scope, state.grace);
    reap();
    std::set<pid_t> groups;
    if (!managed) {
        groups.insert(keeper);
        for (const auto& p : inherited())
            if (p.alive() && p.pgid == p.pid) groups.insert(p.pid);
        for (const pid_t group : groups) ::kill(-group, SIGTERM);
    }
    StopRound round;
    round.find = [&] {
        auto live = inherited();
        std::erase_if(live, [](const ProcessInfo& p) { return !p.alive(); });
        return live;
    };
    round.alreadyAsked = [&](const ProcessInfo& p) { return groups.contains(p.pgid); };
    round.askNewcomers = true;
    round.eachRound = reap;
    round.deadline = start + state.grace;
    round.giveUp = round.deadline + std::chrono::seconds(1);
    stopProcesses(round);
    reap();
}

// Reads the keeper's reports until it has gone.
void watch(pid_t keeperPid, const std::shared_ptr<KeptTask::State>& state,
           const KeptTask::Handlers& handlers) {
    using Told = keeper::Reports::Told;
    for (std::string packet; receive(state->lifeline.get(), packet);) {
        std::unique_lock lock(state->mutex);
        const bool answered = state->reports.answered, ended = state->reports.ended;
        const Told told = state->reports.take(packet);
        // The keeper joined its scope, if it could, before it started anything.
        if (!answered && state->reports.pid > 0)
            state->scope = scopeOf(keeperPid, state->scopeUnit);
        state->running.store(state->reports.pid > 0 && !state->reports.ended);
        const bool call = !state->abandoned;
        lock.unlock();
        state->changed.notify_all();
        if (call && !ended && told != Told::nothing && handlers.ended) handlers.ended();
        if (call && told == Told::exited && handlers.terminated) handlers.terminated();
    }
    // The keeper has gone. It stays unreaped until what it held is dealt
    // with; and abandon() (which holds the lock) only ever kills our keeper
    // or its zombie, never a process that has taken over a reused id.
    siginfo_t info{};
    retryInterrupted(
        [&] { return ::waitid(P_PID, static_cast<id_t>(keeperPid), &info, WEXITED | WNOWAIT); });
    bool held, lost, ended;
    {
        std::lock_guard lock(state->mutex);
        auto& reports = state->reports;
        if (!reports.answered) reports.take({});
        // Ended before it told the service's end: nothing stopped what it held.
        held = !reports.status;
        lost = reports.pid > 0 && held && !state->abandoned;
        ended = reports.ended;
        if (reports.pid > 0 && held) reports.status = -1, reports.ended = true;
        state->running.store(false);
    }
    if (lost && !ended && handlers.ended) handlers.ended();
    if (held) stopWhatTheKeeperHeld(keeperPid, *state);
    {
        std::lock_guard lock(state->mutex);
        retryInterrupted([&] { return ::waitpid(keeperPid, nullptr, 0); });
        state->keeperReaped = true;
    }
    {
        std::lock_guard lock(gKeepersMutex);
        gKeepers.erase(keeperPid);
    }
    state->changed.notify_all();
    if (lost && handlers.terminated) handlers.terminated();
    {
        std::lock_guard lock(state->mutex);
        state->gone = true;
    }
    state->changed.notify_all();
}

}  // namespace

KeptTask::Launch KeptTask::launch(int keeperFd, std::chrono::milliseconds grace,
                                  const std::string& pgrepPath, const std::string& scopeUnit,
                                  const LaunchOptions& options, Handlers handlers) {
    // A keeper that could not be opened at the start is missing.
    if (keeperFd < 0) return {nullptr, ENOENT};
    // What a killed keeper held is handed to us, not to init: we can then
    // stop it by ids that no other process can have taken, and reap it.
    static const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : errno;
    if (subreaper != 0) return {nullptr, subreaper};
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return {nullptr, errno};
    auto state = std::make_shared<State>();
    state->lifeline = Descriptor(pair[0]);
    const Descriptor keeperEnd(pair[1]);

    LaunchOptions keeperOptions = options;
    keeperOptions.executable = "kestrix-v3-keeper";
    keeperOptions.executableFd = keeperFd;
    keeperOptions.arguments = {std::to_string(grace.count()),
                               options.newSession ? "setsid" : "direct", pgrepPath, scopeUnit,
                               options.executable};
    keeperOptions.arguments.insert(keeperOptions.arguments.end(), options.arguments.begin(),
                                   options.arguments.end());
    // The keeper's own session, from its first instruction on.
    keeperOptions.newSession = true;
    keeperOptions.passFds = {keeperEnd.get()};
    SpawnResult spawned;
    {
        // Known as a keeper before anyone could look for what is not one.
        std::lock_guard lock(gKeepersMutex);
        spawned = spawnProcess(keeperOptions);
        if (spawned) gKeepers.insert(spawned.pid);
    }
    if (!spawned) return {nullptr, spawned.errorNumber};

    state->scopeUnit = scopeUnit;
    state->grace = grace;
    // Our unreaped child: the id is its own.
    if (const auto info = processInfo(spawned.pid)) state->keeperStart = info->startTime;
    std::thread([keeperPid = spawned.pid, state, handlers = std::move(handlers)] {
        watch(keeperPid, state, handlers);
    }).detach();
    return {std::shared_ptr<KeptTask>(new KeptTask(spawned.pid, state)), 0};
}

KeptTask::KeptTask(pid_t keeper, std::shared_ptr<State> state)
    : keeper_(keeper), state_(std::move(state)) {}

KeptTask::~KeptTask() {
    // The keeper reads this as its lifeline closing. The descriptor itself
    // stays open until the watcher, which reads from it, is done too.
    ::shutdown(state_->lifeline.get(), SHUT_WR);
}

bool KeptTask::answered() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.answered;
}

int KeptTask::startError() const {
    std::lock_guard lock(state_->mutex);
    return state_->reports.startError;
}

Scope KeptTask::scope() const {
    std::lock_guard lock(state_->mutex);
    return state_->scope;
}

void KeptTask::abandon() {
    {
        std::lock_guard lock(state_->mutex);
        state_->abandoned = true;
        if (!state_->keeperReaped) ::kill(keeper_, SIGKILL);
    }
    // The watcher stops what the keeper had started, then reaps it.
    waitUntilGone(Clock::now() + state_->grace + std::chrono::seconds(2));
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
        ::send(state_->lifeline.get(), &message, sizeof message, MSG_NOSIGNAL);
}

bool KeptTask::waitUntilGone(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline, [&] { return state_->gone; });
}

}  // namespace kestrix::platform
