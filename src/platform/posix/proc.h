// What /proc tells about processes: ids, state, start time, environment.
#pragma once

#include <sys/types.h>

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
// The same from the text of /proc/PID/stat.
std::optional<ProcessInfo> parseStat(pid_t pid, std::string_view stat);
std::vector<ProcessInfo> allProcesses();
// Whether `pid`'s environment holds exactly the entry "NAME=value".
bool environmentContains(pid_t pid, const std::string& entry);
// The same in the text of /proc/PID/environ.
bool environmentHas(std::string_view environment, std::string_view entry);
// The user that owns the process; -1 when it cannot be told.
long processOwner(pid_t pid);
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

}  // namespace kestrix::platform
