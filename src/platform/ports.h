// Who holds a TCP port: anyone, or one of the processes named.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/processes.h"

namespace kestrix::platform {

// Whether some socket already listens on (or is bound to) `host`:`port`, so
// that nothing else could listen there now.
bool addressInUse(const std::string& host, long port);

// Whether the listener that a connection to `host`:`port` reaches is a
// launch's. Every socket that could be it must belong to our own user:
// another account's, of any shape, never counts. Where the launch runs in
// `scope`, every such socket must have been made in the scope's control
// group (the kernel says which, whatever the process that holds it lets
// us read). Elsewhere, one of `pids` holds it among its descriptors; or,
// where nothing else can decide (the descriptors of one of `pids` cannot
// be read: a process that made itself non-dumpable, runs with file
// capabilities or from an unreadable file), it is our own user's socket.
bool listensOn(const Scope& scope, const std::vector<pid_t>& pids, const std::string& host,
               long port);

}  // namespace kestrix::platform
