#include "platform/ports.h"
#include "platform/linux/linux_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
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

namespace {

// Up to eight hex digits, and nothing else, as a number.
bool parseHex(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 8) return false;
    value = 0;
    for (const char c : text) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

std::vector<ListeningSocket> listenersReaching(const std::string& table, bool ipv6,
                                               const std::string& host, long port) {
    std::vector<ListeningSocket> result;
    in_addr target{};
    if (::inet_pton(AF_INET, host.c_str(), &target) != 1) return result;
    // "  0: 0100007F:49EE 00000000:0000 0A ... uid timeout inode": the
    // address as the kernel holds it (32-bit words in host order, in hex),
    // the port in hex, state 0A for LISTEN.
    std::istringstream lines(table);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        ListeningSocket socket;
        long timeout = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
            socket.uid >> timeout >> socket.inode;
        const auto colon = local.find(':');
        if (!fields || state != "0A" || colon != (ipv6 ? 32u : 8u) || local.size() != colon + 5)
            continue;
        uint32_t words[4] = {};
        bool hex = true;
        for (size_t i = 0; i < colon / 8; ++i) hex = hex && parseHex(local.substr(i * 8, 8), words[i]);
        uint32_t localPort = 0;
        if (!hex || !parseHex(local.substr(colon + 1), localPort) || localPort != port) continue;
        // The IPv4 address a connection reaches it by: the last word, where
        // the rest says IPv6 wildcard (0), or mapped IPv4 (::ffff:0:0/96).
        uint32_t v4 = words[0];
        if (ipv6) {
            unsigned char prefix[12];
            std::memcpy(prefix, words, sizeof prefix);
            static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
            static const unsigned char zero[12] = {};
            const bool wildcard = std::memcmp(prefix, zero, 12) == 0 && words[3] == 0;
            if (!wildcard && std::memcmp(prefix, mapped, 12) != 0) continue;
            v4 = words[3];
        }
        if (v4 == INADDR_ANY || v4 == target.s_addr) result.push_back(socket);
    }
    return result;
}

std::optional<unsigned long> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with("]")) return std::nullopt;
    return decimal(link.substr(prefix.size(), link.size() - prefix.size() - 1), ULONG_MAX);
}

bool listensOn(const std::vector<pid_t>& pids, const std::string& host, long port) {
    auto sockets = listenersReaching(readWholeFile("/proc/net/tcp"), false, host, port);
    for (const auto& s : listenersReaching(readWholeFile("/proc/net/tcp6"), true, host, port))
        sockets.push_back(s);
    if (sockets.empty()) return false;
    for (const auto& s : sockets)
        if (s.uid != static_cast<long>(::geteuid())) return false;
    bool unreadable = false;
    for (pid_t pid : pids) {
        const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = ::opendir(dir.c_str());
        if (!fds) {
            unreadable = unreadable || errno == EACCES || errno == EPERM;
            continue;
        }
        bool found = false;
        while (const dirent* entry = ::readdir(fds)) {
            char target[64];
            const ssize_t n = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target);
            const auto inode = n > 0 ? socketInode({target, static_cast<size_t>(n)}) : std::nullopt;
            for (const auto& s : sockets) found = found || (inode && *inode == s.inode);
            if (found) break;
        }
        ::closedir(fds);
        if (found) return true;
    }
    return unreadable;
}

}  // namespace kestrix::platform
