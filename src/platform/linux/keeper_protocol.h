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
// its exec) first; then kEnded (its wait status) the moment it has been
// reaped, and kExited (the same) once what it left is gone (at once for a
// stop the shell asked for).
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
    kEnded,
};

// The keeper's end of the lifeline, in the keeper.
inline constexpr int kLifelineFd = 3;

// One packet as a message; nothing when it is not one whole message of a
// known kind.
std::optional<Message> decode(std::string_view packet);

// What the shell has heard from the keeper, one packet at a time. The first
// message answers the start; after a start, the first kEnded is the
// service's end, and the first kExited (an end too, should it come first)
// says that nothing it left is there; everything else is passed over.
struct Reports {
    bool answered = false;
    pid_t pid = 0;       // the service's, once started
    int startError = 0;  // once answered: 0 when started, else an errno
    bool ended = false;
    std::optional<int> status;  // once what the service left is gone

    enum class Told { nothing, ended, exited };
    // What this packet told.
    Told take(std::string_view packet);
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
