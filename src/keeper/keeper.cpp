// kestrix-v3-keeper: holds the Backend service and everything it starts, so
// that none of it outlives the shell. See platform/posix/keeper_protocol.h
// for how it is started and what it says.
//
// It is a child subreaper: a process below it whose parent dies is handed
// to it, so "below the keeper" stays true for daemons that fork twice and
// call setsid(). It reaps all of them. It is also a process group of its
// own, so that a terminal's ^C reaches the shell, which stops the service in
// its order, and not the keeper.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "keeper/scope.h"
#include "platform/posix/keeper_protocol.h"
#include "platform/posix/proc.h"
#include "platform/posix/process.h"

namespace {

namespace keeper = kestrix::platform::keeper;
namespace platform = kestrix::platform;
using Clock = std::chrono::steady_clock;

const int kLifeline = keeper::kLifelineFd;

void tell(std::int32_t kind, std::int32_t value) {
    const keeper::Message message{kind, value};
    [[maybe_unused]] const ssize_t n = ::send(kLifeline, &message, sizeof message, MSG_NOSIGNAL);
}

// Every live process below us, found in /proc.
std::vector<platform::ProcessInfo> below() {
    return platform::liveDescendants(::getpid());
}

class Keeper {
public:
    Keeper(pid_t service, std::chrono::milliseconds grace) : service_(service), grace_(grace) {}

    // Reaps whatever has ended below us. The service's end is told at once
    // when the shell expected it; otherwise only once what it left is gone.
    void reap() {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            if (pid != service_) continue;
            serviceStatus_ = status;
            if (expected_) tellExit();
        }
    }

    // Until the service has ended unexpectedly and what it left is stopped.
    void settle() {
        if (!serviceStatus_ || told_) return;
        stop(0);
        tellExit();
    }

    void handle(const keeper::Message& message) {
        expected_ = true;
        const bool reaped = serviceStatus_.has_value();
        switch (message.kind) {
            case keeper::kSignal:
                if (!reaped) ::kill(service_, message.value);
                break;
            case keeper::kSignalGroup:
                // Until the service has made its group, it is reached alone.
                if (::kill(-service_, message.value) != 0 && !reaped)
                    ::kill(service_, message.value);
                break;
            case keeper::kStop:
                stop(message.value);
                finish();
        }
    }

    // SIGTERM to everything below (but group `spared`), then, once the grace
    // has passed, SIGKILL to what is left, until nothing is.
    void stop(pid_t spared) {
        for (const auto& p : below())
            if (spared == 0 || p.pgid != spared) ::kill(p.pid, SIGTERM);
        const auto deadline = Clock::now() + grace_;
        for (;;) {
            reap();
            const auto left = below();
            if (left.empty()) return;
            if (Clock::now() >= deadline)
                for (const auto& p : left) ::kill(p.pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    [[noreturn]] void finish() {
        reap();
        if (serviceStatus_) tellExit();
        tell(keeper::kSwept, 0);
        std::_Exit(0);
    }

private:
    void tellExit() {
        if (told_) return;
        told_ = true;
        tell(keeper::kExited, *serviceStatus_);
    }

    const pid_t service_;
    const std::chrono::milliseconds grace_;
    std::optional<int> serviceStatus_;
    bool expected_ = false;  // the shell has asked for something
    bool told_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    const auto grace = std::chrono::milliseconds(std::strtol(argv[1], nullptr, 10));
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::setpgid(0, 0);

    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&handled, s);
    ::sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);

    // Where a user manager runs us, a scope of our own holds us and so
    // everything below us, before anything is started; elsewhere we alone do.
    kestrix::keeper::joinScope(grace);

    platform::LaunchOptions options;
    options.executable = argv[3];
    options.arguments.assign(argv + 4, argv + argc);
    options.environment = platform::currentEnvironment();
    options.newSession = std::strcmp(argv[2], "setsid") == 0;
    // Should the keeper itself be killed, the service is asked to stop.
    options.parentDeathSignal = SIGTERM;
    const platform::SpawnResult spawned = platform::spawnProcess(options);
    if (!spawned) {
        tell(keeper::kFailed, spawned.errorNumber);
        return 1;
    }
    tell(keeper::kStarted, spawned.pid);

    Keeper keeper(spawned.pid, grace);
    for (;;) {
        pollfd fds[2] = {{kLifeline, POLLIN, 0}, {signals, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) keeper.stop(0), keeper.finish();
        // What the shell said comes first: a signal it sent explains the
        // exit that may be reported in the same turn.
        if (fds[0].revents != 0) {
            keeper::Message message{};
            ssize_t n;
            while ((n = ::recv(kLifeline, &message, sizeof message, 0)) < 0 && errno == EINTR) {
            }
            if (n != sizeof message) keeper.stop(0), keeper.finish();  // the lifeline is cut
            keeper.handle(message);
        }
        if (fds[1].revents != 0) {
            signalfd_siginfo info{};
            while (::read(signals, &info, sizeof info) == sizeof info)
                if (info.ssi_signo != SIGCHLD) keeper.stop(0), keeper.finish();
            keeper.reap();
        }
        keeper.settle();
    }
}
