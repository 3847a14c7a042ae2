// One blocking HTTP GET, for the panel readiness probe.
#pragma once

#include <string>

namespace kestrix::platform {

// GETs `url` (plain HTTP) and returns the final HTTP status code, redirects
// followed over HTTP, or 0 for a transport error, a time-out or an answer
// that is not HTTP. The body is not read. `timeoutSeconds` bounds the whole
// request, redirects included. No proxy is ever used: the panel is on
// loopback. Callable from any thread.
long httpGetStatus(const std::string& url, double timeoutSeconds);

}  // namespace kestrix::platform
