// The environment and the descriptor limit that children get.
#pragma once

#include <string>
#include <vector>

namespace kestrix::platform {

// The caller's environment as "NAME=value" entries.
std::vector<std::string> currentEnvironment();
// Keeps the environment as it is now, before the program changes its own
// for itself; startupEnvironment() gives it back (the current one until
// this has been called).
void keepStartupEnvironment();
std::vector<std::string> startupEnvironment();
// Replaces or adds `name` in `environment`.
void setEnvironmentValue(std::vector<std::string>& environment, const std::string& name,
                         const std::string& value);

// A launcher may leave the signals that ask us to quit (SIGTERM, SIGINT,
// SIGHUP) blocked: unblocks them, for every thread started from then on.
void unblockQuitSignals();

// Raises this process's soft limit on open descriptors to its hard limit
// (the toolkit and the web engine need many); every child started from
// here on gets back the limit the program was started with.
void raiseDescriptorLimit();

}  // namespace kestrix::platform
