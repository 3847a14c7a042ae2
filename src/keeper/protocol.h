// What the shell and the keeper say to each other.
//
// The keeper (keeper.cpp) is a small program of the package between the
// shell and the Backend service. It is started as
//
//   kestrix-v3-keeper GRACE_MS setsid|direct PGREP EXECUTABLE [ARGUMENT...]
//
// with the service's environment, working directory and standard streams,
// and one more descriptor, 3: its end of a SOCK_SEQPACKET pair whose other
// end only the shell holds. That pair is the lifeline. Each message is one
// packet, a Message.
//
// Keeper to shell: kStarted (the service's pid) or kFailed (the errno of
// its exec) first; then kExited (the service's wait status) once it has
// been reaped and, for an end nobody asked for, once what it left is gone.
//
// Shell to keeper: kStop. The keeper stops the service and everything below
// itself, in the service's launch mode, and exits; the lifeline's end tells
// the shell that it is done.
//
// The lifeline closing without a kStop (the shell was killed, crashed, or
// lost its display server), or SIGTERM, SIGINT or SIGHUP to the keeper, is
// a stop too.
#pragma once

#include <cstdint>

namespace kestrix::keeper {

struct Message {
    std::int32_t kind;
    std::int32_t value;
};

enum : std::int32_t {
    kStarted = 1,
    kFailed,
    kExited,
    kStop,
};

// The keeper's end of the lifeline, in the keeper.
inline constexpr int kLifelineFd = 3;

}  // namespace kestrix::keeper
