// One blocking HTTP GET, for the panel readiness probe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrix::platform {

// GETs `url` (plain HTTP) and returns the final HTTP status code, redirects
// followed over HTTP, or 0 for a transport error, a time-out or an answer
// that is not HTTP. The body is not read. `timeoutSeconds` bounds the whole
// request, redirects included. No proxy is ever used: the panel is on
// loopback. Callable from any thread.
long httpGetStatus(const std::string& url, double timeoutSeconds);

// The pieces of it that read what the other side wrote.
struct HttpAddress {
    std::string host, port, path;
};
// "http://host[:port][/path]" (an IPv6 host in brackets); nothing for any
// other scheme or an empty host.
std::optional<HttpAddress> parseHttpURL(std::string_view url);

struct ResponseHead {
    long status = 0;  // 0: not an HTTP/1.x answer
    std::string location;
};
// The status line and headers, up to and without the empty line.
ResponseHead parseResponseHead(std::string_view head);
// Where a redirect from `from` leads; nothing when `answer` is none.
std::optional<std::string> redirectTarget(const HttpAddress& from, const ResponseHead& answer);

}  // namespace kestrix::platform
