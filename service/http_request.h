// What the Backend service reads of an HTTP/1.x request: the head, up to
// its empty line, as any local process may send it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::service {

struct Request {
    std::string method, path, query;  // the target, split at its '?'
    std::string cookie;               // the Cookie header, as sent
    size_t bodyLength = 0;            // Content-Length
};

// The request whose head is `head` (its lines end in CRLF; the empty line
// may be left off); nothing for anything that is not one.
std::optional<Request> parseRequestHead(std::string_view head);

// The value of `name` in a query ("a=1&b=x+y%21"), decoded; empty when it
// is not there.
std::string queryValue(std::string_view query, std::string_view name);

}  // namespace kestrix::service
