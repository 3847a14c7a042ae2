// Scope units of the user's service manager (systemd --user), reached on
// its own socket: the keeper moves itself into one of its own before it
// starts the service, so that everything below it belongs to that unit;
// the shell stops it as a whole when the keeper cannot.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "platform/clock.h"
#include "platform/processes.h"

namespace kestrix::platform {

// Moves this process into a new scope unit `unit` (KillMode control-group,
// a stop time-out of `grace`). Does nothing, and says false, where no user
// manager runs us, it refuses (a unit of that name is there), or it has not
// done all that by `deadline`.
bool joinScope(const std::string& unit, std::chrono::milliseconds grace,
               Clock::time_point deadline);

// The scope `unit` with its control group, when `pid` is in it; else none.
Scope scopeOf(pid_t pid, const std::string& unit);

}  // namespace kestrix::platform
