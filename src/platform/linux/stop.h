// The one way to stop processes, for the keeper and for the shell alike:
// SIGTERM to each; a grace, cut short the moment the last has gone; then
// SIGKILL to whatever is left, until nothing is.
#pragma once

#include <functional>
#include <vector>

#include "platform/clock.h"
#include "platform/processes.h"

namespace kestrix::platform {

struct StopRound {
    // The live processes to stop, asked anew each round (a process that
    // forks meanwhile is found in the next one).
    std::function<std::vector<ProcessInfo>()> find;
    // SIGKILL from then on.
    Clock::time_point deadline;
    // Processes of the first round that have had their SIGTERM already
    // (a group signalled as a whole); none when empty.
    std::function<bool(const ProcessInfo&)> alreadyAsked;
    // A process first found after the first round gets its SIGTERM too
    // (else only the SIGKILL once the grace is over).
    bool askNewcomers = false;
    // Called each round after the first, before the processes are looked
    // for again (the keeper reaps there).
    std::function<void()> eachRound;
    // Gives up then, with something still there (a process stuck in the
    // kernel); never when left at its default.
    Clock::time_point giveUp = Clock::time_point::max();
};

// Every signal goes to a process by its id, as listed in that round.
// True when nothing is left.
bool stopProcesses(const StopRound& round);

}  // namespace kestrix::platform
