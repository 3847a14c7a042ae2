#include "platform/http_probe.h"

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
#include <memory>
#include <optional>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/linux/interrupted.h"

namespace kestrix::platform {

std::optional<HttpAddress> parseHttpURL(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (!url.starts_with(scheme)) return std::nullopt;
    const size_t slash = url.find('/', scheme.size());
    const std::string_view authority = url.substr(scheme.size(), slash - scheme.size());
    HttpAddress address{std::string(authority), "80",
                        slash == std::string_view::npos ? "/" : std::string(url.substr(slash))};
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        address.host = authority.substr(0, colon);
        address.port = authority.substr(colon + 1);
    }
    if (address.host.size() > 1 && address.host.front() == '[')
        address.host = address.host.substr(1, address.host.size() - 2);
    if (address.host.empty()) return std::nullopt;
    return address;
}

namespace {

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
std::string requestHead(const HttpAddress& address, Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list) != 0) return "";
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> found(list, ::freeaddrinfo);
    std::string head;
    for (const addrinfo* ai = found.get(); ai && head.empty(); ai = ai->ai_next) {
        const Descriptor socket(
            ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket) continue;
        const int fd = socket.get();
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
    }
    return head;
}

// The value of header `name` (lower case) in `head`, or "".
std::string header(std::string_view head, std::string_view name) {
    for (size_t at = head.find("\r\n"); at != std::string_view::npos;) {
        const size_t next = head.find("\r\n", at + 2);
        const std::string_view line = head.substr(at + 2, next - at - 2);
        const size_t colon = line.find(':');
        std::string key(line.substr(0, colon));
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (colon != std::string_view::npos && key == name) {
            const size_t start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string_view::npos ? "" : std::string(line.substr(start));
        }
        at = next;
    }
    return "";
}

}  // namespace

ResponseHead parseResponseHead(std::string_view head) {
    // "HTTP/1.x NNN ...", 100 to 999: anything else is not an HTTP answer
    // (and "000" would read as the 0 that says so).
    const auto digit = [&](size_t i) { return head[i] >= '0' && head[i] <= '9'; };
    if (!head.starts_with("HTTP/1.") || head.size() < 13 || head[8] != ' ' || head[9] == '0' ||
        !digit(9) || !digit(10) || !digit(11) || (head[12] != ' ' && head[12] != '\r'))
        return {};
    const long status = (head[9] - '0') * 100 + (head[10] - '0') * 10 + (head[11] - '0');
    return {status, header(head, "location")};
}

std::optional<std::string> redirectTarget(const HttpAddress& from, const ResponseHead& answer) {
    const long s = answer.status;
    if ((s != 301 && s != 302 && s != 303 && s != 307 && s != 308) || answer.location.empty())
        return std::nullopt;
    if (answer.location.front() != '/') return answer.location;
    const bool ipv6 = from.host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + from.host + "]" : from.host) + ":" + from.port +
           answer.location;
}

long httpGetStatus(const std::string& url, double timeoutSeconds) {
    const auto deadline = Clock::now() + seconds(timeoutSeconds);
    std::string current = url;
    for (int redirects = 0; redirects <= 16; ++redirects) {
        const auto address = parseHttpURL(current);
        if (!address) return 0;
        const ResponseHead answer = parseResponseHead(requestHead(*address, deadline));
        // Redirects are followed over HTTP only, within the same time-out.
        const auto next = redirectTarget(*address, answer);
        if (!next) return answer.status;
        current = *next;
    }
    return 0;
}

}  // namespace kestrix::platform
