#include "platform/posix/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

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
    const int errFd = options.errorFd >= 0 ? options.errorFd : options.outputFd;
    if (options.outputFd >= 0) ::dup2(options.outputFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    // No descriptor of ours but 0, 1, 2 and the report pipe, which closes on exec.
    if (reportFd > 3) ::close_range(3, static_cast<unsigned>(reportFd) - 1, 0);
    ::close_range(static_cast<unsigned>(reportFd) + 1, ~0U, 0);

    ChildFailure failure{0};
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
        failure.error = errno;
    } else {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(options.executable.c_str(), argv, envp);
        failure.error = errno;
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
        result.error = "无法启动 " + options.executable + "：" +
                       std::strerror(pid < 0 ? forkError : failure.error);
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
};

Task::Task(pid_t pid, std::shared_ptr<State> state) : pid_(pid), state_(std::move(state)) {}

Task::~Task() = default;

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
            state->running.store(false, std::memory_order_release);
        }
        state->exited.notify_all();
        if (handler) handler(pid);
    }).detach();

    return {task, {}};
}

bool Task::isRunning() const {
    return state_->running.load(std::memory_order_acquire);
}

void Task::signal(int number) {
    // Holding the lock keeps the watcher from reaping between the test and
    // the signal, so the pid cannot have been reused by then.
    std::lock_guard lock(state_->mutex);
    if (!state_->status) ::kill(pid_, number);
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
