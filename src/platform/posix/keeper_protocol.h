// What the shell and the keeper say to each other.
//
// The keeper (src/keeper) is a small program of the package between the
// shell and the Backend service. It is a child subreaper: whatever the
// service starts, and whatever leaves the service's group or session, is
// handed back to it when its parent dies, never to init. It is started as
//
//   kestrix-v3-keeper GRACE_MS setsid|direct EXECUTABLE [ARGUMENT...]
//
// with the service's environment, working directory and standard streams,
// and one more descriptor, 3: its end of a SOCK_SEQPACKET pair whose other
// end only the shell holds. That pair is the lifeline. Each message is one
// packet, a Message.
//
// Keeper to shell: kStarted (the service's pid) or kFailed (the errno of
// its exec) first; later kExited (the service's wait status) once it has
// been reaped, and kSwept when a stop is done, just before the keeper exits.
//
// Shell to keeper: kSignal and kSignalGroup (a signal for the service, or
// its group), kStop (stop everything below, sparing group `value` the
// SIGTERM that the shell has just sent it).
//
// The lifeline closing without a kStop (the shell was killed, crashed, or
// lost its display server), or SIGTERM, SIGINT or SIGHUP to the keeper, is
// a stop that spares nothing. A service that ends before the shell has sent
// anything ended unexpectedly: what it left is stopped before kExited goes
// out, so that the shell's exit alert finds nothing of it running.
#pragma once

#include <cstdint>

namespace kestrix::platform::keeper {

struct Message {
    std::int32_t kind;
    std::int32_t value;
};

enum : std::int32_t {
    kStarted = 1,
    kFailed,
    kExited,
    kSwept,
    kSignal,
    kSignalGroup,
    kStop,
};

// The keeper's end of the lifeline, in the keeper.
inline constexpr int kLifelineFd = 3;

}  // namespace kestrix::platform::keeper
