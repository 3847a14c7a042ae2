// What the shell and the keeper say to each other.
//
// The keeper (keeper.cpp) is a small program of the package between the
// shell and the Backend service. It is started as
//
//   kestrix-v3-keeper GRACE_MS setsid|direct PGREP SCOPE EXECUTABLE [ARGUMENT...]
//
// in a session of its own, with the service's environment, working
// directory and standard streams, and one more descriptor, 3: its end of a
// SOCK_SEQPACKET pair whose other end only the shell holds. That pair is
// the lifeline. Each message is one packet, a Message. SCOPE: the name of
// the scope unit to hold everything below the keeper, where a user manager
// runs it.
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

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// One packet as a message; nothing when it is not one whole message of a
// known kind.
std::optional<Message> decode(std::string_view packet);

// What the shell has heard from the keeper, one packet at a time. The first
// message answers the start; after a start, the first kExited is the
// service's end; everything else is passed over.
struct Reports {
    bool answered = false;
    pid_t pid = 0;       // the service's, once started
    int startError = 0;  // once answered: 0 when started, else an errno
    std::optional<int> status;

    // True when this packet told the service's end.
    bool take(std::string_view packet);
};

// The keeper's command line, checked.
struct Arguments {
    std::chrono::milliseconds grace{0};
    bool group = false;
    std::string pgrep, scope, executable;
    std::vector<std::string> arguments;
};
std::optional<Arguments> parseArguments(const std::vector<std::string>& argv);

}  // namespace kestrix::keeper
