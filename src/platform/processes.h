// What the system tells about processes (ids, sessions, start times), and
// the ways to stop processes that the kernel proves belong to one launch.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kestrix::platform {

struct ProcessInfo {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgid = 0;
    pid_t sid = 0;     // the session
    char state = '?';  // 'Z' for a zombie
    // Clock ticks after boot; with the boot id it names one process for good.
    unsigned long long startTime = 0;

    bool alive() const { return state != 'Z' && state != 'X'; }
};

std::optional<ProcessInfo> processInfo(pid_t pid);
std::vector<ProcessInfo> allProcesses();
// Every live process below `pid` (its children, theirs, ...).
std::vector<ProcessInfo> liveDescendants(pid_t pid);
// The same among `all`.
std::vector<ProcessInfo> descendantsIn(const std::vector<ProcessInfo>& all, pid_t pid);
// This boot's id; empty where the kernel does not tell.
std::string bootId();
// 32 random hex digits.
std::string randomToken();

// A unit of the user's service manager, with the control group it had when
// a launch was recorded: the kernel's own set of that launch's processes,
// whatever they run and whatever they made of their environment.
struct Scope {
    std::string unit;
    unsigned long long cgroupId = 0;

    explicit operator bool() const { return !unit.empty() && cgroupId != 0; }
    bool operator==(const Scope&) const = default;
};

// Stops `scope` through the user's service manager (SIGTERM to every
// process in it, SIGKILL after the unit's stop time-out), only while the
// unit of that name still has that control group, and waits until it has
// gone, `grace` and a second at most. False where no manager answers or no
// such scope is there.
bool stopScope(const Scope& scope, Clock::duration grace);

// Stops every process of this user whose environment holds exactly
// `entry`, but this program and its ancestors: SIGTERM, then SIGKILL to
// what is left after `grace`, giving up a second later. Each is held by a
// handle taken before its environment is read, so that no signal reaches a
// process that has taken a reused id. A process whose environment cannot be
// read (it made itself non-dumpable) or no longer holds the entry (it was
// started with a scrubbed one) is not found.
void stopMarkedProcesses(const std::string& entry, Clock::duration grace);

}  // namespace kestrix::platform
