#include "platform/posix/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "platform/posix/keeper_protocol.h"

extern char** environ;

namespace kestrix::platform {

namespace {

std::vector<char*> pointerArray(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

namespace {

// What the child reports through the pipe when it cannot start the program.
struct ChildFailure {
    int error;
};

// The descriptor limit the program was started with, once raised.
std::optional<rlimit> gStartupFileLimit;

// Closes every descriptor from `from` up, but `keepA` and `keepB` (-1: none).
void closeFrom(int from, int keepA, int keepB) {
    if (keepA > keepB) std::swap(keepA, keepB);
    int next = from;
    for (const int keep : {keepA, keepB}) {
        if (keep < next) continue;
        if (keep > next)
            ::close_range(static_cast<unsigned>(next), static_cast<unsigned>(keep) - 1, 0);
        next = keep + 1;
    }
    ::close_range(static_cast<unsigned>(next), ~0U, 0);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(const LaunchOptions& options, char* const* argv, char* const* envp,
                            pid_t parent, int reportFd) {
    // Every catchable signal back to its default: the toolkit may ignore
    // SIGPIPE or handle signals that the child must not inherit. (The C
    // library's own two refuse, and exec resets them anyway.)
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);

    if (options.parentDeathSignal != 0) {
        ::prctl(PR_SET_PDEATHSIG, options.parentDeathSignal);
        // The parent may have gone before the request was in place.
        if (::getppid() != parent) ::_exit(127);
    }
    ChildFailure failure{0};
    if (options.newSession && ::setsid() < 0) failure.error = errno;

    const int errFd = options.errorFd >= 0 ? options.errorFd : options.outputFd;
    if (options.outputFd >= 0) ::dup2(options.outputFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    // The passed descriptors become 3, 4, ...: first everything that must
    // stay is moved above them, so that no dup2 overwrites another.
    const int passed = static_cast<int>(options.passFds.size());
    const int above = 3 + passed;
    int exeFd = options.executableFd;
    if (exeFd >= 0 && exeFd < above) exeFd = ::fcntl(exeFd, F_DUPFD_CLOEXEC, above);
    if (reportFd < above) reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, above);
    int moved[8];
    for (int i = 0; i < passed && i < 8; ++i)
        moved[i] = ::fcntl(options.passFds[static_cast<size_t>(i)], F_DUPFD_CLOEXEC,
                           std::max({above, reportFd, exeFd}) + 1);
    for (int i = 0; i < passed && i < 8; ++i) ::dup2(moved[i], 3 + i);
    // No descriptor of ours but 0, 1, 2, the passed ones, the program (when
    // executed from a descriptor) and the report pipe; the last two close
    // on exec.
    closeFrom(above, reportFd, exeFd);
    // Only now: a low limit would refuse the descriptors moved above.
    if (gStartupFileLimit) ::setrlimit(RLIMIT_NOFILE, &*gStartupFileLimit);

    if (failure.error == 0) {
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
            failure.error = errno;
        } else {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (exeFd >= 0)
                ::execveat(exeFd, "", argv, envp, AT_EMPTY_PATH);
            else
                ::execve(options.executable.c_str(), argv, envp);
            failure.error = errno;
        }
    }
    [[maybe_unused]] const ssize_t n = ::write(reportFd, &failure, sizeof failure);
    ::_exit(127);
}

}  // namespace

SpawnResult spawnProcess(const LaunchOptions& options) {
    SpawnResult result;

    // Everything the child needs is made before the fork.
    std::vector<std::string> argvStrings;
    argvStrings.push_back(options.executable);
    argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> envStrings = options.environment;
    auto argv = pointerArray(argvStrings);
    auto envp = pointerArray(envStrings);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        result.errorNumber = errno;
        result.error = "无法启动 " + options.executable + "：" + std::strerror(errno);
        return result;
    }
    // No handler of ours may run in the child before it has reset them.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) execChild(options, argv.data(), envp.data(), parent, report[1]);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);

    // The report pipe closes on a successful exec, and carries the error
    // of a failed one.
    ChildFailure failure{0};
    ssize_t n;
    while ((n = ::read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);

    if (pid < 0 || n == sizeof failure) {
        if (pid > 0)
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        result.errorNumber = pid < 0 ? forkError : failure.error;
        result.error = "无法启动 " + options.executable + "：" + std::strerror(result.errorNumber);
        return result;
    }
    result.pid = pid;
    return result;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e) result.emplace_back(*e);
    return result;
}

namespace {
std::optional<std::vector<std::string>> gStartupEnvironment;
}

void keepStartupEnvironment() {
    gStartupEnvironment = currentEnvironment();
}

std::vector<std::string> startupEnvironment() {
    return gStartupEnvironment ? *gStartupEnvironment : currentEnvironment();
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    gStartupFileLimit = limit;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void setEnvironmentValue(std::vector<std::string>& environment, const std::string& name,
                         const std::string& value) {
    const std::string prefix = name + "=";
    std::string entry = prefix + value;
    bool replaced = false;
    for (auto it = environment.begin(); it != environment.end();) {
        if (it->compare(0, prefix.size(), prefix) == 0) {
            if (!replaced) {
                *it = entry;
                replaced = true;
                ++it;
            } else {
                it = environment.erase(it);
            }
        } else {
            ++it;
        }
    }
    if (!replaced) environment.push_back(std::move(entry));
}

struct Task::State {
    std::mutex mutex;
    std::condition_variable exited;
    std::atomic<bool> running{true};
    std::optional<int> status;  // guarded by mutex
    bool treeGone = false;      // guarded by mutex: the keeper has exited
    int lifeline = -1;          // the shell's end, kept tasks only

    ~State() {
        if (lifeline >= 0) ::close(lifeline);
    }
    // The process has been reaped with `waitStatus`.
    void markExited(int waitStatus) {
        {
            std::lock_guard lock(mutex);
            status = waitStatus;
            running.store(false, std::memory_order_release);
        }
        exited.notify_all();
    }
};

Task::Task(pid_t pid, std::shared_ptr<State> state) : pid_(pid), state_(std::move(state)) {}

Task::~Task() {
    // The keeper reads this as its lifeline closing. The descriptor itself
    // stays open until the watcher, which reads from it, is done too.
    if (state_->lifeline >= 0) ::shutdown(state_->lifeline, SHUT_WR);
}

Task::LaunchResult Task::launch(const LaunchOptions& options, TerminationHandler onTermination) {
    SpawnResult spawned = spawnProcess(options);
    if (!spawned) return {nullptr, spawned.error};

    auto state = std::make_shared<State>();
    std::shared_ptr<Task> task(new Task(spawned.pid, state));

    // The watcher reaps this pid only, never -1: the toolkit reaps its own
    // helpers. It holds the state, not the Task, so a Task may be released
    // while its child still runs.
    std::thread([pid = spawned.pid, state, handler = std::move(onTermination)] {
        // Wait without reaping first, so that terminate() (which holds the
        // lock) can only ever signal our own child or its zombie, never a
        // process that has taken over a reused pid.
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        int status = 0;
        pid_t r;
        {
            std::lock_guard lock(state->mutex);
            do {
                r = waitpid(pid, &status, 0);
            } while (r < 0 && errno == EINTR);
            state->status = r == pid ? status : -1;
            state->treeGone = true;
            state->running.store(false, std::memory_order_release);
        }
        state->exited.notify_all();
        if (handler) handler(pid);
    }).detach();

    return {task, {}};
}

namespace {

// One message from the keeper; false at the lifeline's end.
bool receive(int fd, keeper::Message& message) {
    ssize_t n;
    while ((n = ::recv(fd, &message, sizeof message, 0)) < 0 && errno == EINTR) {
    }
    return n == sizeof message;
}

}  // namespace

Task::LaunchResult Task::launchKept(int keeperFd, std::chrono::milliseconds grace,
                                    const LaunchOptions& options,
                                    TerminationHandler onTermination) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return {nullptr, "无法启动 " + options.executable + "：" + std::strerror(errno)};

    LaunchOptions keeperOptions;
    keeperOptions.executable = "kestrix-v3-keeper";
    keeperOptions.executableFd = keeperFd;
    keeperOptions.arguments = {std::to_string(grace.count()),
                               options.newSession ? "setsid" : "direct", options.executable};
    keeperOptions.arguments.insert(keeperOptions.arguments.end(), options.arguments.begin(),
                                   options.arguments.end());
    keeperOptions.environment = options.environment;
    keeperOptions.workingDirectory = options.workingDirectory;
    keeperOptions.outputFd = options.outputFd;
    keeperOptions.errorFd = options.errorFd;
    keeperOptions.passFds = {pair[1]};
    const SpawnResult spawned = keeperFd >= 0 ? spawnProcess(keeperOptions) : SpawnResult{};
    ::close(pair[1]);
    if (!spawned) {
        ::close(pair[0]);
        return {nullptr, keeperFd >= 0 ? spawned.error : "无法启动 " + options.executable};
    }

    // The first word: the service runs, or why it could not be executed.
    keeper::Message first{};
    const bool answered = receive(pair[0], first);
    if (!answered || first.kind != keeper::kStarted || first.value < 1) {
        ::close(pair[0]);
        // A keeper that could not even say why is of no use.
        if (!answered || first.kind != keeper::kFailed) ::kill(spawned.pid, SIGKILL);
        while (::waitpid(spawned.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        const int error = answered && first.kind == keeper::kFailed ? first.value : EPROTO;
        return {nullptr, "无法启动 " + options.executable + "：" + std::strerror(error)};
    }

    auto state = std::make_shared<State>();
    state->lifeline = pair[0];
    std::shared_ptr<Task> task(new Task(first.value, state));
    task->keeper_ = spawned.pid;

    std::thread([pid = task->pid_, keeperPid = spawned.pid, state,
                 handler = std::move(onTermination)] {
        keeper::Message message{};
        bool reported = false;
        while (receive(state->lifeline, message)) {
            if (message.kind != keeper::kExited || reported) continue;
            reported = true;
            state->markExited(message.value);
            if (handler) handler(pid);
        }
        // The keeper has gone. Had it been killed before the service's end
        // was told, the service is as good as gone for us: it got the
        // parent-death signal.
        while (::waitpid(keeperPid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (!reported) {
            state->markExited(-1);
            if (handler) handler(pid);
        }
        {
            std::lock_guard lock(state->mutex);
            state->treeGone = true;
        }
        state->exited.notify_all();
    }).detach();

    return {task, {}};
}

void Task::sendToKeeper(int kind, int value) {
    const keeper::Message message{kind, value};
    // MSG_NOSIGNAL: a keeper that has gone must not take us with it.
    [[maybe_unused]] const ssize_t n =
        ::send(state_->lifeline, &message, sizeof message, MSG_NOSIGNAL);
}

bool Task::isRunning() const {
    return state_->running.load(std::memory_order_acquire);
}

void Task::signal(int number) {
    // The keeper signals only what it has not reaped. For a child of ours,
    // holding the lock keeps the watcher from reaping between the test and
    // the signal, so the pid cannot have been reused by then.
    if (keeper_ > 0) return sendToKeeper(keeper::kSignal, number);
    std::lock_guard lock(state_->mutex);
    if (!state_->status) ::kill(pid_, number);
}

void Task::signalGroup(int number) {
    sendToKeeper(keeper::kSignalGroup, number);
}

void Task::stopTree(pid_t spared) {
    sendToKeeper(keeper::kStop, spared);
}

bool Task::waitForTree(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->exited.wait_until(lock, deadline, [&] { return state_->treeGone; });
}

void Task::waitUntilExit() {
    std::unique_lock lock(state_->mutex);
    state_->exited.wait(lock, [&] { return state_->status.has_value(); });
}

bool Task::waitUntilExit(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(state_->mutex);
    return state_->exited.wait_until(lock, deadline, [&] { return state_->status.has_value(); });
}

std::optional<int> Task::terminationStatus() const {
    std::lock_guard lock(state_->mutex);
    return state_->status;
}

}  // namespace kestrix::platform
