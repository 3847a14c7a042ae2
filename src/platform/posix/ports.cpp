#include "platform/posix/ports.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kestrix::platform {

bool addressInUse(const std::string& host, long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // As a service binds: connections of earlier listeners that wait out
    // their TIME_WAIT do not count.
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const bool inUse =
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno == EADDRINUSE;
    ::close(fd);
    return inUse;
}

bool listensOn(const std::vector<pid_t>& pids, const std::string& host, long port) {
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    // "  0: 0100007F:49EE 00000000:0000 0A ... inode": the address as the
    // kernel holds it, the port in hex, state 0A for LISTEN.
    char local[32];
    std::snprintf(local, sizeof local, "%08X:%04lX", address.s_addr, port);
    std::vector<std::string> sockets;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, source, destination, state, skip, inode;
        fields >> slot >> source >> destination >> state;
        for (int i = 0; i < 5; ++i) fields >> skip;
        fields >> inode;
        if (source == local && state == "0A") sockets.push_back("socket:[" + inode + "]");
    }
    if (sockets.empty()) return false;
    for (pid_t pid : pids) {
        const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = ::opendir(dir.c_str());
        if (!fds) continue;
        bool found = false;
        while (const dirent* entry = ::readdir(fds)) {
            char target[64];
            const ssize_t n = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            for (const auto& socket : sockets) found = found || socket == target;
            if (found) break;
        }
        ::closedir(fds);
        if (found) return true;
    }
    return false;
}

}  // namespace kestrix::platform
