// Who holds a TCP port: anyone, or one of the processes named.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrix::platform {

// Whether some socket already listens on (or is bound to) `host`:`port`, so
// that nothing else could listen there now.
bool addressInUse(const std::string& host, long port);

// Whether one of `pids` holds a socket listening on the IPv4 address
// `host`:`port` (read from /proc/net/tcp and the processes' descriptors).
bool listensOn(const std::vector<pid_t>& pids, const std::string& host, long port);

}  // namespace kestrix::platform
