// Pieces of the Linux layer shared between its files, and the readers of
// the kernel's text files (/proc), each a function of the text.
#pragma once

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/processes.h"
#include "platform/text.h"

namespace kestrix::platform {

// The descriptor limit the program was started with, once raised; null
// before.
const rlimit* startupFileLimit();

// A handle on the process `pid` that no other process can take over (-1
// when it has gone), and a signal sent through one.
inline int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
inline int pidfdSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// An open directory, closed with the object.
struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// The whole text of a file (of /proc); empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// A process from the text of /proc/PID/stat.
std::optional<ProcessInfo> parseStat(pid_t pid, std::string_view stat);
// Whether the text of /proc/PID/environ holds exactly `entry`.
bool environmentHas(std::string_view environment, std::string_view entry);
// A process id from the name of an entry of /proc; nothing for any other.
std::optional<pid_t> pidOfEntry(std::string_view name);
// This process and each of its ancestors up to process 1.
std::vector<pid_t> selfAndAncestors();
// This boot's id from the text of /proc/sys/kernel/random/boot_id.
std::string bootIdFrom(std::string_view text);
// The socket's inode from a /proc/PID/fd link ("socket:[N]"); nothing for
// anything else.
std::optional<unsigned long> socketInode(std::string_view link);
// The cgroup v2 path ("0::PATH") from the text of /proc/PID/cgroup; empty
// where it has none.
std::string unifiedCgroup(std::string_view text);
// Where the cgroup2 hierarchy is mounted, from the text of
// /proc/self/mountinfo; empty where it is not.
std::string cgroup2MountPoint(std::string_view mountinfo);
// The application package of the executable at `path`: <pkg> for
// <pkg>/Contents/MacOS/<exe>, otherwise the executable's own directory.
std::string bundleOfExecutable(const std::string& path);

// A listening socket, as a line of /proc/net/tcp or tcp6 shows it.
struct ListeningSocket {
    unsigned long inode = 0;
    long uid = -1;
};

// The sockets of a /proc/net/tcp (`ipv6` false) or tcp6 table that listen on
// `port` where a connection to the IPv4 address `host` can reach them: the
// address itself or the wildcard, and in tcp6 the same mapped into IPv6
// (::ffff:a.b.c.d) or the IPv6 wildcard (dual-stack).
std::vector<ListeningSocket> listenersReaching(std::string_view table, bool ipv6,
                                               const std::string& host, long port);
// From the kernel's answer to a dump of its TCP sockets' diagnostics (a
// run of netlink messages): the control group id of each socket that
// listens on `port`, by inode, added to `cgroups`. True once the answer's
// end (or an error) is in it.
bool socketCgroups(std::string_view reply, long port,
                   std::map<unsigned long, unsigned long long>& cgroups);

}  // namespace kestrix::platform
