// The shell's side of the keeper (platform/linux/keeper_protocol.h): the handle of the
// Backend service, which the delegate holds.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/processes.h"
#include "platform/spawn.h"

namespace kestrix::platform {

// A program run under the keeper: the keeper is our child, the program its
// child, and every process the program starts, in its group or not, stays
// below the keeper. The handle stands for the program: its id and its end,
// which a watcher thread learns from the keeper. Releasing the last hold on
// it cuts the keeper's lifeline: the keeper stops whatever is left below it
// and exits.
//
// Should the keeper end without having stopped what it held (killed), all
// of that is handed to us: we stop it (through the user's service manager
// where the keeper joined a scope, and by our own signals), reap it, and
// only then report the program's end.
class KeptTask {
public:
    struct Handlers {
        // Called once, on the watcher thread, the moment the program has
        // ended (or its keeper is lost), before anything is stopped.
        std::function<void()> ended;
        // Called once, on the watcher thread, when the program has ended
        // and nothing it started is left (where the keeper ended first,
        // killed or crashed, once what it held has been stopped here).
        std::function<void()> terminated;
    };

    struct Launch {
        std::shared_ptr<KeptTask> task;
        int errorNumber = 0;  // without a task: why the keeper did not start
    };

    // Starts the keeper, executed from `keeperFd`, for `options`, and
    // returns at once: the keeper's first word (the program runs, or why it
    // could not be executed) comes later. `grace`: how long the keeper waits
    // after SIGTERM before SIGKILL; `pgrepPath`: the child lister of its
    // walk, for a program started without a session of its own;
    // `scopeUnit`: the name of the scope unit the keeper makes where a user
    // manager runs us.
    static Launch launch(int keeperFd, std::chrono::milliseconds grace,
                         const std::string& pgrepPath, const std::string& scopeUnit,
                         const LaunchOptions& options, Handlers handlers);

    KeptTask(const KeptTask&) = delete;
    KeptTask& operator=(const KeptTask&) = delete;
    ~KeptTask();

    // Whether the keeper has said how the start went (or has ended).
    bool answered() const;
    // Once answered: 0 when the program runs, else the errno of its exec
    // (EPROTO for a keeper that ended without a word).
    int startError() const;
    // Gives the start up (the keeper is silent, or the start failed): the
    // keeper is killed and reaped, what it had started is stopped within
    // the grace, and no termination handler will be called.
    void abandon();

    // The program's id; 0 until it runs.
    pid_t processIdentifier() const;
    pid_t keeperIdentifier() const { return keeper_; }
    // The scope unit that holds the keeper and everything below it; none
    // where no user manager took it. Known once answered.
    Scope scope() const;
    bool isRunning() const;
    // Asks the keeper to stop the program and everything below it, in the
    // program's launch mode; it then exits. Once; later calls do nothing.
    void stop();
    // Blocks until the keeper has exited, or `deadline`; true when it has.
    bool waitUntilGone(std::chrono::steady_clock::time_point deadline);

    struct State;  // shared with the watcher thread

private:
    KeptTask(pid_t keeper, std::shared_ptr<State> state);

    const pid_t keeper_;
    std::shared_ptr<State> state_;
};

}  // namespace kestrix::platform
