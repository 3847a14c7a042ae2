#include "platform/posix/process.h"

#include <signal.h>
#include <spawn.h>
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

SpawnResult spawnProcess(const LaunchOptions& options) {
    SpawnResult result;

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&attr, &mask);
    // Every catchable signal back to its default: the toolkit may ignore
    // SIGPIPE or block signals in its threads, which the child must not inherit.
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int errFd = options.errorFd >= 0 ? options.errorFd : options.outputFd;
    if (options.outputFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.outputFd, 1);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    std::vector<std::string> argvStrings;
    argvStrings.push_back(options.executable);
    argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> envStrings = options.environment;
    auto argv = pointerArray(argvStrings);
    auto envp = pointerArray(envStrings);

    pid_t pid = -1;
    // glibc reports a failed exec (missing file, no permission, not a
    // program, bad working directory) as the return value.
    const int rc =
        posix_spawn(&pid, options.executable.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);

    if (rc != 0) {
        result.error = "无法启动 " + options.executable + "：" + std::strerror(rc);
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
        if (handler) handler();
    }).detach();

    return {task, {}};
}

bool Task::isRunning() const {
    return state_->running.load(std::memory_order_acquire);
}

void Task::terminate() {
    // Holding the lock keeps the watcher from reaping between the test and
    // the signal, so the pid cannot have been reused by then.
    std::lock_guard lock(state_->mutex);
    if (!state_->status) ::kill(pid_, SIGTERM);
}

void Task::waitUntilExit() {
    std::unique_lock lock(state_->mutex);
    state_->exited.wait(lock, [&] { return state_->status.has_value(); });
}

std::optional<int> Task::terminationStatus() const {
    std::lock_guard lock(state_->mutex);
    return state_->status;
}

}  // namespace kestrix::platform
