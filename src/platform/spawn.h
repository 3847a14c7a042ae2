// Starting a clean child: fork and exec with nothing of ours carried over.
#pragma once

#include <sys/types.h>

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
    int errorNumber = 0;  // the errno of a program that could not be started
    explicit operator bool() const { return pid > 0; }
};

// Starts a child with default signal dispositions, an empty signal mask,
// the descriptor limit the program was started with, and no descriptor of
// ours but 0, 1, 2 and `passFds`. Standard input is inherited. The child is
// not reaped here: the caller must waitpid() it. A failure to start the
// program (exec, working directory) is reported here, never by a child
// that runs on.
SpawnResult spawnProcess(const LaunchOptions& options);

}  // namespace kestrix::platform
