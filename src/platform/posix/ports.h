// Who holds a TCP port: anyone, or one of the processes named.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrix::platform {

// Whether some socket already listens on (or is bound to) `host`:`port`, so
// that nothing else could listen there now.
bool addressInUse(const std::string& host, long port);

// A listening socket, as a line of /proc/net/tcp or tcp6 shows it.
struct ListeningSocket {
    unsigned long inode = 0;
    long uid = -1;
};

// The sockets of a /proc/net/tcp (`ipv6` false) or tcp6 table that listen on
// `port` where a connection to the IPv4 address `host` can reach them: the
// address itself or the wildcard, and in tcp6 the same mapped into IPv6
// (::ffff:a.b.c.d) or the IPv6 wildcard (dual-stack).
std::vector<ListeningSocket> listenersReaching(const std::string& table, bool ipv6,
                                               const std::string& host, long port);

// Whether the listener that a connection to `host`:`port` reaches is held
// by one of `pids`. Every socket that could be it must belong to our own
// user: another account's, of any shape, never counts. Ours then: one of
// `pids` holds it among its descriptors; or, where the descriptors of one
// of `pids` cannot be read (a process that made itself non-dumpable, runs
// with file capabilities or from an unreadable file), it is our own user's
// socket, and the user can read our files anyway.
bool listensOn(const std::vector<pid_t>& pids, const std::string& host, long port);

}  // namespace kestrix::platform
