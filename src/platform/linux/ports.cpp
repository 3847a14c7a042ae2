#include "platform/ports.h"
#include "platform/linux/linux_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

#include "platform/files.h"
#include "platform/linux/interrupted.h"

namespace kestrix::platform {

bool addressInUse(const std::string& host, long port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return false;
    const Descriptor probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    // As a service binds: connections of earlier listeners that wait out
    // their TIME_WAIT do not count.
    const int yes = 1;
    ::setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    return ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
           errno == EADDRINUSE;
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

std::vector<ListeningSocket> listenersReaching(std::string_view table, bool ipv6,
                                               const std::string& host, long port) {
    std::vector<ListeningSocket> result;
    in_addr target{};
    if (::inet_pton(AF_INET, host.c_str(), &target) != 1) return result;
    // "  0: 0100007F:49EE 00000000:0000 0A ... uid timeout inode": the
    // address as the kernel holds it (32-bit words in host order, in hex),
    // the port in hex, state 0A for LISTEN.
    bool header = true;
    forEachLine(table, [&](std::string_view line) {
        if (std::exchange(header, false)) return;
        std::istringstream fields{std::string(line)};
        std::string slot, local, remote, state, queues, timer, retransmits;
        ListeningSocket socket;
        long timeout = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >>
            socket.uid >> timeout >> socket.inode;
        const auto colon = local.find(':');
        if (!fields || state != "0A" || colon != (ipv6 ? 32u : 8u) || local.size() != colon + 5)
            return;
        uint32_t words[4] = {};
        bool hex = true;
        for (size_t i = 0; i < colon / 8; ++i)
            hex = hex && parseHex(local.substr(i * 8, 8), words[i]);
        uint32_t localPort = 0;
        if (!hex || !parseHex(local.substr(colon + 1), localPort) || localPort != port) return;
        // The IPv4 address a connection reaches it by: the last word, where
        // the rest says IPv6 wildcard (0), or mapped IPv4 (::ffff:0:0/96).
        uint32_t v4 = words[0];
        if (ipv6) {
            unsigned char prefix[12];
            std::memcpy(prefix, words, sizeof prefix);
            static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
            static const unsigned char zero[12] = {};
            const bool wildcard = std::memcmp(prefix, zero, 12) == 0 && words[3] == 0;
            if (!wildcard && std::memcmp(prefix, mapped, 12) != 0) return;
            v4 = words[3];
        }
        if (v4 == INADDR_ANY || v4 == target.s_addr) result.push_back(socket);
    });
    return result;
}

std::optional<unsigned long> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with("]")) return std::nullopt;
    return decimal(link.substr(prefix.size(), link.size() - prefix.size() - 1), ULONG_MAX);
}

bool socketCgroups(std::string_view reply, long port,
                   std::map<unsigned long, unsigned long long>& cgroups) {
    while (reply.size() >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, reply.data(), sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > reply.size()) return true;
        if (header.nlmsg_type == NLMSG_DONE || header.nlmsg_type == NLMSG_ERROR) return true;
        const std::string_view body = reply.substr(NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
        reply.remove_prefix(std::min<size_t>(NLMSG_ALIGN(header.nlmsg_len), reply.size()));
        inet_diag_msg socket;
        if (body.size() < sizeof socket) continue;
        std::memcpy(&socket, body.data(), sizeof socket);
        if (ntohs(socket.id.idiag_sport) != port) continue;
        // Its attributes: the control group's id among them.
        for (std::string_view rest = body.substr(NLMSG_ALIGN(sizeof socket));
             rest.size() >= sizeof(rtattr);) {
            rtattr attribute;
            std::memcpy(&attribute, rest.data(), sizeof attribute);
            if (attribute.rta_len < sizeof attribute || attribute.rta_len > rest.size()) break;
            if (attribute.rta_type == INET_DIAG_CGROUP_ID &&
                attribute.rta_len >= RTA_LENGTH(sizeof(uint64_t))) {
                uint64_t id;
                std::memcpy(&id, rest.data() + RTA_LENGTH(0), sizeof id);
                cgroups[socket.idiag_inode] = id;
            }
            rest.remove_prefix(std::min<size_t>(RTA_ALIGN(attribute.rta_len), rest.size()));
        }
    }
    return false;
}

namespace {

// The control group of each TCP socket that listens on `port`, by inode.
std::map<unsigned long, unsigned long long> listenerCgroups(long port) {
    std::map<unsigned long, unsigned long long> cgroups;
    for (const int family : {AF_INET, AF_INET6}) {
        const Descriptor diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        struct {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } ask{};
        ask.header.nlmsg_len = sizeof ask;
        ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        ask.request.sdiag_family = static_cast<uint8_t>(family);
        ask.request.sdiag_protocol = IPPROTO_TCP;
        ask.request.idiag_states = 1u << 10;  // TCP_LISTEN
        if (!diag || ::send(diag.get(), &ask, sizeof ask, 0) != sizeof ask) continue;
        // A few messages a buffer; a machine's listeners fit in a few buffers.
        alignas(nlmsghdr) char buffer[16384];
        for (int reads = 0; reads < 256; ++reads) {
            const ssize_t n = ::recv(diag.get(), buffer, sizeof buffer, 0);
            if (n <= 0 || socketCgroups({buffer, static_cast<size_t>(n)}, port, cgroups)) break;
        }
    }
    return cgroups;
}

}  // namespace

bool listensOn(const Scope& scope, const std::vector<pid_t>& pids, const std::string& host,
               long port) {
    auto sockets = listenersReaching(readWholeFile("/proc/net/tcp"), false, host, port);
    for (const auto& s : listenersReaching(readWholeFile("/proc/net/tcp6"), true, host, port))
        sockets.push_back(s);
    if (sockets.empty()) return false;
    for (const auto& s : sockets)
        if (s.uid != static_cast<long>(::geteuid())) return false;
    if (scope) {
        const auto cgroups = listenerCgroups(port);
        return std::all_of(sockets.begin(), sockets.end(), [&](const ListeningSocket& s) {
            const auto found = cgroups.find(s.inode);
            return found != cgroups.end() && found->second == scope.cgroupId;
        });
    }
    bool unreadable = false;
    for (pid_t pid : pids) {
        const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        const Directory fds(::opendir(dir.c_str()));
        if (!fds) {
            unreadable = unreadable || errno == EACCES || errno == EPERM;
            continue;
        }
        bool found = false;
        while (const dirent* entry = ::readdir(fds.get())) {
            char target[64];
            const ssize_t n =
                ::readlinkat(::dirfd(fds.get()), entry->d_name, target, sizeof target);
            const auto inode = n > 0 ? socketInode({target, static_cast<size_t>(n)}) : std::nullopt;
            for (const auto& s : sockets) found = found || (inode && *inode == s.inode);
            if (found) break;
        }
        if (found) return true;
    }
    return unreadable;
}

}  // namespace kestrix::platform
