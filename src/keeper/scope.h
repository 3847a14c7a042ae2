// The keeper's own scope unit, where a systemd user manager runs the
// program: everything below the keeper then belongs to that unit, which the
// manager can stop as a whole, whatever becomes of the keeper.
#pragma once

#include <chrono>

namespace kestrix::keeper {

// The unit's fixed name: "systemctl --user status <name>" shows it.
inline constexpr const char* kScopeName = "app-io.kestrix.V3NativeShell-backend.scope";

// Moves this process into the scope (KillMode control-group, a stop
// time-out of `grace`), first stopping one that a killed keeper left
// behind. Does nothing, and says false, where no user manager runs us, it
// refuses, or it has not done all that by `deadline`.
bool joinScope(std::chrono::milliseconds grace, std::chrono::steady_clock::time_point deadline);

}  // namespace kestrix::keeper
