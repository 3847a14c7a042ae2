// What the system tells about processes: ids, state, start time, environment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix::platform {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgid = 0;
    char state = '?';  // 'Z' for a zombie
    // Clock ticks after boot; with the boot id it names one process for good.
    unsigned long long startTime = 0;

    bool alive() const { return state != 'Z' && state != 'X'; }
};

std::optional<ProcessInfo> processInfo(pid_t pid);
std::vector<ProcessInfo> allProcesses();
// Whether `pid`'s environment holds exactly the entry "NAME=value".
bool environmentContains(pid_t pid, const std::string& entry);
// The user that owns the process; -1 when it cannot be told.
long processOwner(pid_t pid);
// The user this program runs as.
long currentUser();
// The file the process executes, " (deleted)" taken off; empty when it
// cannot be told.
std::string executablePath(pid_t pid);
// Every live process below `pid` (its children, theirs, ...).
std::vector<ProcessInfo> liveDescendants(pid_t pid);
// The same among `all`.
std::vector<ProcessInfo> descendantsIn(const std::vector<ProcessInfo>& all, pid_t pid);
// This process and each of its ancestors up to process 1.
std::vector<pid_t> selfAndAncestors();
// This boot's id; empty where the kernel does not tell.
std::string bootId();

// Stops `processes` (SIGTERM, then SIGKILL after `grace`), each while it is
// still the process of that id and start time (it may have been handed to
// another parent), giving up a second after the grace.
void stopKnownProcesses(const std::vector<ProcessInfo>& processes,
                        std::chrono::steady_clock::duration grace);

}  // namespace kestrix::platform
