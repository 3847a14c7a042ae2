// Child processes: a posix_spawn launcher and a watched task handle.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrix::platform {

struct LaunchOptions {
    std::string executable;                // absolute path; no PATH search
    std::vector<std::string> arguments;    // without argv[0], which is `executable`
    std::vector<std::string> environment;  // "NAME=value" entries, the child's whole environment
    std::string workingDirectory;          // empty: the caller's
    // Descriptor that becomes the child's standard output and standard
    // error; -1 leaves both inherited.
    int outputFd = -1;
    // Separate descriptor for standard error; -1 uses `outputFd`.
    int errorFd = -1;
    // Sent to the child when the thread that started it ends (the whole
    // program, for the main thread); 0 for none.
    int parentDeathSignal = 0;
};

struct SpawnResult {
    pid_t pid = -1;
    std::string error;  // set when the program could not be started
    explicit operator bool() const { return pid > 0; }
};

// Starts a child with default signal dispositions, an empty signal mask and
// no descriptor of ours but 0, 1 and 2. Standard input is inherited. The
// child is not reaped here: the caller must waitpid() it. A failure to
// start the program (exec, working directory) is reported here, never by a
// child that runs on.
SpawnResult spawnProcess(const LaunchOptions& options);

// The caller's environment as "NAME=value" entries.
std::vector<std::string> currentEnvironment();
// Keeps the environment as it is now, before the program changes its own
// for itself; startupEnvironment() gives it back (the current one until
// this has been called).
void keepStartupEnvironment();
std::vector<std::string> startupEnvironment();

// Replaces or adds `name` in `environment`.
void setEnvironmentValue(std::vector<std::string>& environment, const std::string& name,
                         const std::string& value);

// A launched child, watched by a thread of its own that reaps exactly this
// pid. isRunning() turns false as soon as the child has been reaped, whatever
// the thread that asks is doing; the termination handler is then called once,
// on the watcher thread.
//
// Destroying a Task neither signals nor waits for the child: the watcher
// keeps what it needs alive and ends when the child ends.
class Task {
public:
    // Called with the child's process id.
    using TerminationHandler = std::function<void(pid_t)>;

    struct LaunchResult {
        std::shared_ptr<Task> task;
        std::string error;
    };

    // Starts the child. `onTermination` is installed before the child exists.
    static LaunchResult launch(const LaunchOptions& options, TerminationHandler onTermination);

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task();

    pid_t processIdentifier() const { return pid_; }
    bool isRunning() const;
    // SIGTERM to the child while it has not been reaped.
    void terminate() { signal(SIGTERM); }
    // `number` to the child while it has not been reaped.
    void signal(int number);
    // Blocks until the child has been reaped.
    void waitUntilExit();
    // Blocks until the child has been reaped or `deadline` has passed;
    // true when it has been reaped.
    bool waitUntilExit(std::chrono::steady_clock::time_point deadline);
    // The raw wait status, once the child has been reaped.
    std::optional<int> terminationStatus() const;

private:
    struct State;
    explicit Task(pid_t pid, std::shared_ptr<State> state);

    pid_t pid_;
    std::shared_ptr<State> state_;
};

}  // namespace kestrix::platform
