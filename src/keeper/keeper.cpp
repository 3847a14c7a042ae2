// kestrix-v3-keeper: holds the Backend service and everything it starts, so
// that none of it outlives the shell, and is the one place that stops any
// of it. See platform/linux/keeper_protocol.h for how it is started and
// what it says.
//
// It is a child subreaper: a process below it whose parent dies is handed
// to it, so "below the keeper" stays true for daemons that fork twice and
// call setsid(). It reaps all of them. It runs in a session of its own
// (the shell starts it so): nothing below it can ever be in the shell's
// session, which is how the shell tells what it inherits from a killed
// keeper from its own children; and a terminal's ^C reaches the shell,
// which stops the service in its order, not the keeper.
//
// The stop, in the service's launch mode, within one grace:
// - through setsid: SIGTERM to the service's group while the service is
//   ours and unreaped (so the group's id is no one else's), and to every
//   other process below us;
// - started directly, when the shell asked: SIGTERM to the service alone;
//   if it still runs when the grace is over, its tree is killed deepest
//   first, each process's children listed (pgrep -P) while it is alive
//   (for half a second at most: a tree larger than that is swept);
// then, in both modes, SIGTERM to whatever else is below us and, once the
// grace is over, SIGKILL until nothing is left. Every signal but the group's
// goes to a process found below us, by its id.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "keeper/pid_list.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/linux/interrupted.h"
#include "platform/linux/keeper_protocol.h"
#include "platform/linux/scope.h"
#include "platform/linux/stop.h"
#include "platform/spawn.h"

namespace {

namespace keeper = kestrix::keeper;
namespace platform = kestrix::platform;
using platform::Clock;

const int kLifeline = keeper::kLifelineFd;

void tell(std::int32_t kind, std::int32_t value) {
    const keeper::Message message{kind, value};
    [[maybe_unused]] const ssize_t n = ::send(kLifeline, &message, sizeof message, MSG_NOSIGNAL);
}

// The direct children of `pid`, as `pgrep -P` prints them.
std::vector<pid_t> childPIDs(const std::string& pgrep, pid_t pid) {
    std::optional<platform::Pipe> out = platform::makePipe();
    if (!out) return {};
    platform::LaunchOptions options;
    options.executable = pgrep;
    options.arguments = {"-P", std::to_string(pid)};
    options.environment = platform::currentEnvironment();
    options.outputFd = out->write.get();
    const platform::Descriptor devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    options.errorFd = devNull.get();
    const platform::SpawnResult spawned = platform::spawnProcess(options);
    out->write.close();
    // Drained while it runs, so that no output can fill the pipe and stall it.
    std::string output;
    char buffer[4096];
    for (ssize_t n; spawned && (n = platform::retryInterrupted([&] {
                                    return ::read(out->read.get(), buffer, sizeof buffer);
                                })) > 0;)
        output.append(buffer, static_cast<size_t>(n));
    if (!spawned) return {};
    platform::retryInterrupted([&] { return ::waitpid(spawned.pid, nullptr, 0); });
    return kestrix::parsePidList(output);
}

// SIGKILL to `pid` after every one of its descendants. One pgrep a process
// makes a large tree slow: past `listUntil`, processes are killed without
// listing their children, which (handed to us) the sweep after the walk
// finds in one read of /proc.
void killProcessTree(const std::string& pgrep, pid_t pid, Clock::time_point listUntil) {
    // Ids below 1 name process groups or every process we may signal; a
    // stray line of the lister's output must never reach kill() as one.
    if (pid < 1) return;
    if (Clock::now() < listUntil)
        for (pid_t child : childPIDs(pgrep, pid)) killProcessTree(pgrep, child, listUntil);
    ::kill(pid, SIGKILL);
}

class Keeper {
public:
    Keeper(pid_t service, bool group, std::string pgrep, Clock::duration grace)
        : service_(service), group_(group), pgrep_(std::move(pgrep)), grace_(grace) {}

    // Reaps whatever has ended below us. The service's end is told at once
    // when the shell asked for it; otherwise only once what it left is gone.
    void reap() {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            if (pid != service_) continue;
            serviceStatus_ = status;
            // At once, whatever follows: the shell stops all traffic to the
            // panel's address the moment the service is gone.
            tell(keeper::kEnded, status);
            if (asked_) tellExit();
        }
    }

    // An end nobody asked for: what the service left goes first.
    void settle() {
        if (!serviceStatus_ || told_) return;
        stop();
        tellExit();
    }

    void stop() {
        const auto deadline = Clock::now() + grace_;
        bool groupAsked = false;
        if (asked_ && !group_) {
            if (!serviceStatus_) ::kill(service_, SIGTERM);
            while (!serviceStatus_ && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                reap();
            }
            // Unreaped, the service's id is still its own.
            if (!serviceStatus_)
                killProcessTree(pgrep_, service_, deadline + std::chrono::milliseconds(500));
        } else if (group_ && !serviceStatus_) {
            // Until the service has made its group, it is reached alone.
            groupAsked = ::kill(-service_, SIGTERM) == 0;
            if (!groupAsked) ::kill(service_, SIGTERM);
        }
        platform::StopRound round;
        round.find = [] { return platform::liveDescendants(::getpid()); };
        round.deadline = deadline;
        round.alreadyAsked = [groupAsked, group = service_](const platform::ProcessInfo& p) {
            return groupAsked && p.pgid == group;
        };
        round.eachRound = [this] { reap(); };
        platform::stopProcesses(round);
    }

    // The stop the shell asked for, or the one that ends us.
    [[noreturn]] void finish(bool asked) {
        asked_ = asked_ || asked;
        stop();
        // A killed service with threads shows as a zombie before the last of
        // them has ended, and only then can it be reaped: its end is waited
        // for (a second at most), so that it is told, not taken for a loss.
        const auto until = Clock::now() + std::chrono::seconds(1);
        for (reap(); !serviceStatus_ && Clock::now() < until; reap())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (serviceStatus_) tellExit();
        std::_Exit(0);
    }

private:
    void tellExit() {
        if (told_) return;
        told_ = true;
        tell(keeper::kExited, *serviceStatus_);
    }

    const pid_t service_;
    const bool group_;
    const std::string pgrep_;
    const Clock::duration grace_;
    std::optional<int> serviceStatus_;
    bool asked_ = false;  // the shell has asked for the stop
    bool told_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = keeper::parseArguments({argv + std::min(argc, 1), argv + argc});
    if (!parsed) return 2;
    const auto grace = parsed->grace;
    const bool group = parsed->group;
    // Without these the keeper would hold nothing, or never hear that the
    // service ended: the start fails instead, with the reason.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, s);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    const platform::Descriptor signals(::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals || ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 ||
        (::getsid(0) != ::getpid() && ::setsid() < 0)) {
        tell(keeper::kFailed, errno);
        return 1;
    }

    // Where a user manager runs us, a scope of our own holds us and so
    // everything below us, before anything is started; elsewhere, or when
    // the manager does not answer in time, we alone do.
    platform::joinScope(parsed->scope, grace, Clock::now() + grace + std::chrono::seconds(1));

    platform::LaunchOptions options;
    options.executable = parsed->executable;
    options.arguments = parsed->arguments;
    options.environment = platform::currentEnvironment();
    options.newSession = group;
    // Should the keeper itself be killed, the service is asked to stop.
    options.parentDeathSignal = SIGTERM;
    const platform::SpawnResult spawned = platform::spawnProcess(options);
    if (!spawned) {
        tell(keeper::kFailed, spawned.errorNumber);
        return 1;
    }
    tell(keeper::kStarted, spawned.pid);

    Keeper keeper(spawned.pid, group, parsed->pgrep, grace);
    for (;;) {
        pollfd fds[2] = {{kLifeline, POLLIN, 0}, {signals.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) keeper.finish(false);
        // What the shell said comes first: a stop it asked for explains the
        // exit that may be reported in the same turn.
        if (fds[0].revents != 0) {
            char packet[64];
            const ssize_t n = platform::retryInterrupted(
                [&] { return ::recv(kLifeline, packet, sizeof packet, 0); });
            // Anything but a whole kStop is not for us; the lifeline's end is.
            if (n <= 0) keeper.finish(false);
            const auto message = keeper::decode({packet, static_cast<size_t>(n)});
            if (message && message->kind == keeper::kStop) keeper.finish(true);
        }
        if (fds[1].revents != 0) {
            signalfd_siginfo info{};
            while (::read(signals.get(), &info, sizeof info) == sizeof info)
                if (info.ssi_signo != SIGCHLD) keeper.finish(false);
            keeper.reap();
        }
        keeper.settle();
    }
}
