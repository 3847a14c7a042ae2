// Child processes: a fork-and-exec launcher, and a watched task handle for a
// child of ours or for the Backend service under its keeper.
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
    // The child leads a session and process group of its own (setsid()).
    bool newSession = false;
    // When >= 0, the program executed is this open file (`executable` is
    // then only argv[0]): what runs is what was opened, whatever has been
    // installed at its path since.
    int executableFd = -1;
    // Descriptors that the child gets as 3, 4, ... in this order.
    std::vector<int> passFds;
};

struct SpawnResult {
    pid_t pid = -1;
    std::string error;    // set when the program could not be started
    int errorNumber = 0;  // its errno
    explicit operator bool() const { return pid > 0; }
};

// Starts a child with default signal dispositions, an empty signal mask and
// no descriptor of ours but 0, 1, 2 and `passFds`. Standard input is inherited. The
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

// Raises this process's soft limit on open descriptors to its hard limit
// (the toolkit and the web engine need many); every child started from
// here on gets back the limit the program was started with.
void raiseDescriptorLimit();

// Replaces or adds `name` in `environment`.
void setEnvironmentValue(std::vector<std::string>& environment, const std::string& name,
                         const std::string& value);

// A launched process, watched by a thread of its own. isRunning() turns
// false as soon as it has been reaped, whatever the thread that asks is
// doing; the termination handler is then called once, on the watcher thread.
//
// Task::launch starts a child of ours; the watcher reaps exactly that pid.
// Destroying such a Task neither signals nor waits for the child.
//
// Task::launchKept starts the program under the keeper (see
// keeper_protocol.h): the keeper is our child, the program its child, and
// every process the program starts, in its group or not, stays below the
// keeper. The Task stands for the program: its id, its signals, its exit.
// Destroying such a Task cuts the keeper's lifeline: it stops whatever is
// left below it and exits.
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
    // Starts `options` under the keeper, the executable open on `keeperFd`.
    // `grace`: how long the keeper waits after SIGTERM before SIGKILL. A
    // program that cannot be executed is a failed launch, with its reason.
    static LaunchResult launchKept(int keeperFd, std::chrono::milliseconds grace,
                                   const LaunchOptions& options, TerminationHandler onTermination);

    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task();

    pid_t processIdentifier() const { return pid_; }
    bool isRunning() const;
    // SIGTERM to the child while it has not been reaped.
    void terminate() { signal(SIGTERM); }
    // `number` to the process while it has not been reaped.
    void signal(int number);
    // `number` to the process group that the process leads; to the process
    // alone while that group does not exist yet. Kept tasks only.
    void signalGroup(int number);
    // Asks the keeper to stop everything below it: SIGTERM to each process
    // (but those of group `spared`, 0 for none), SIGKILL to what is left
    // after the grace, then it exits. Kept tasks only.
    void stopTree(pid_t spared);
    // Blocks until the keeper has exited (at once for a plain task) or
    // `deadline` has passed; true when it has.
    bool waitForTree(std::chrono::steady_clock::time_point deadline);
    // The keeper's process id; 0 for a plain task.
    pid_t keeperIdentifier() const { return keeper_; }
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
    void sendToKeeper(int kind, int value);

    pid_t pid_;
    pid_t keeper_ = 0;
    std::shared_ptr<State> state_;
};

}  // namespace kestrix::platform
