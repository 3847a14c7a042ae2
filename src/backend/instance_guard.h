// One instance per user, the record of the running service, and what a
// start does about a service whose program and keeper were killed.
//
// The first start takes a lock in the user's runtime directory and holds it
// for its whole life, so that a second start that cannot reach it over the
// session bus still refuses to run a second service. That directory is used
// only when it is ours alone (our own, mode 0700, not a link): else the one
// under ~/.cache, on the same terms; else neither, and the probe alone
// decides. Another account must not be able to block our start, or plant a
// record, through a directory it can write.
//
// Every launch records there what the kernel knows of it: its keeper (id
// and start time, in this boot), the service's id, the scope unit that
// holds it where a user manager runs us (name and control group), and the
// mark that every process of the launch inherits in its environment. A
// normal stop removes the record; one still there at the next start belongs
// to a program that was killed.
//
// Threads: the main thread only.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/kept_task.h"

namespace kestrix {

class InstanceGuard {
public:
    // `candidates`: the runtime directories to use, in order of preference.
    InstanceGuard(const std::vector<std::string>& candidates, platform::Clock::duration grace);

    // Takes the single-instance lock, held from then on: true when it is
    // ours, or where no lock can be had at all (the probe decides then).
    bool holdLock();
    bool holdsLock() const { return static_cast<bool>(lock_); }

    // Records a launch that has started: `task`, its service, its scope and
    // its `mark`.
    void record(const platform::KeptTask& task, const std::string& mark);
    // Removes the record of the service `pid`: it has been stopped.
    void forget(pid_t pid);
    // Whether a launch is on record: one that was not stopped (a killed
    // program's), since this instance holds the lock.
    bool launchRecorded() const;
    // What a killed program's launch left, before anything else is started:
    // its keeper, still stopping everything below it, is waited for; then
    // its scope is stopped through the user's service manager, and every
    // process of ours that carries its mark. Nothing else is ever
    // signalled: another instance's service, the user's own run of the
    // service, a process with a recorded id or start time.
    void stopLeftovers();

private:
    std::string recordPath() const { return dir_ + "/backend.record"; }

    std::string dir_;  // empty: nowhere
    const platform::Clock::duration grace_;
    platform::Descriptor lock_;
};

}  // namespace kestrix
