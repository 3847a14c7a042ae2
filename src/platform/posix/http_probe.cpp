#include "platform/posix/http_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>

#include "platform/posix/clock.h"

namespace kestrix::platform {

namespace {

struct Address {
    std::string host, port, path;
};

// "http://host[:port][/path]"; nothing for any other scheme.
std::optional<Address> parseURL(const std::string& url) {
    constexpr std::string_view scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return std::nullopt;
    const size_t slash = url.find('/', scheme.size());
    std::string authority = url.substr(scheme.size(), slash - scheme.size());
    Address address{authority, "80", slash == std::string::npos ? "/" : url.substr(slash)};
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        address.host = authority.substr(0, colon);
        address.port = authority.substr(colon + 1);
    }
    if (address.host.size() > 1 && address.host.front() == '[')
        address.host = address.host.substr(1, address.host.size() - 2);
    if (address.host.empty()) return std::nullopt;
    return address;
}

// Waits for `events` on `fd` until `deadline`; false on time-out or error.
bool await(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return (p.revents & events) != 0;
        if (n < 0 && errno != EINTR) return false;
    }
}

// Connects to `address`, sends the request and reads the answer's head:
// the status line and the headers, up to the empty line.
std::string requestHead(const Address& address, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found) != 0) return "";
    std::string head;
    for (const addrinfo* ai = found; ai && head.empty(); ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        const bool connected =
            (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ||
             (errno == EINPROGRESS && await(fd, POLLOUT, deadline) &&
              ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0));
        const std::string request = "GET " + address.path + " HTTP/1.1\r\nHost: " + address.host +
                                    ":" + address.port +
                                    "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
        if (connected && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(request.size())) {
            std::string received;
            char buffer[4096];
            while (received.find("\r\n\r\n") == std::string::npos && received.size() < 65536 &&
                   await(fd, POLLIN, deadline)) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                received.append(buffer, static_cast<size_t>(n));
            }
            if (const size_t end = received.find("\r\n\r\n"); end != std::string::npos)
                head = received.substr(0, end + 2);
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return head;
}

// The value of header `name` (lower case) in `head`, or "".
std::string header(const std::string& head, const std::string& name) {
    for (size_t at = head.find("\r\n"); at != std::string::npos;) {
        const size_t next = head.find("\r\n", at + 2);
        const std::string line = head.substr(at + 2, next - at - 2);
        const size_t colon = line.find(':');
        std::string key = line.substr(0, colon);
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (colon != std::string::npos && key == name) {
            const size_t start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
        at = next;
    }
    return "";
}

}  // namespace

long httpGetStatus(const std::string& url, double timeoutSeconds) {
    const auto deadline = Clock::now() + seconds(timeoutSeconds);
    std::string current = url;
    for (int redirects = 0; redirects <= 16; ++redirects) {
        const auto address = parseURL(current);
        if (!address) return 0;
        const std::string head = requestHead(*address, deadline);
        // "HTTP/1.x NNN ...": anything else is not an HTTP answer.
        if (head.compare(0, 7, "HTTP/1.") != 0 || head.size() < 12 || head[8] != ' ') return 0;
        char* end = nullptr;
        const long status = std::strtol(head.c_str() + 9, &end, 10);
        if (end != head.c_str() + 12) return 0;
        const std::string location = header(head, "location");
        if ((status != 301 && status != 302 && status != 303 && status != 307 && status != 308) ||
            location.empty())
            return status;
        // Redirects are followed over HTTP only, within the same time-out.
        if (location.front() == '/')
            current = "http://" + address->host + ":" + address->port + location;
        else
            current = location;
    }
    return 0;
}

}  // namespace kestrix::platform
