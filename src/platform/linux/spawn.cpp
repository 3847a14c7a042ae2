#include "platform/spawn.h"
#include "platform/linux/interrupted.h"
#include "platform/linux/linux_internal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/environment.h"
#include "platform/files.h"

namespace kestrix::platform {

namespace {

std::vector<char*> pointerArray(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// What the child reports through the pipe when it cannot start the program.
struct ChildFailure {
    int error;
};

// Closes every descriptor from `from` up, but `keepA` and `keepB` (-1: none).
void closeFrom(int from, int keepA, int keepB) {
    if (keepA > keepB) std::swap(keepA, keepB);
    int next = from;
    for (const int keep : {keepA, keepB}) {
        if (keep < next) continue;
        if (keep > next)
            ::close_range(static_cast<unsigned>(next), static_cast<unsigned>(keep) - 1, 0);
        next = keep + 1;
    }
    ::close_range(static_cast<unsigned>(next), ~0U, 0);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(const LaunchOptions& options, char* const* argv, char* const* envp,
                            pid_t parent, int reportFd, const rlimit* startupFileLimit) {
    // Every catchable signal back to its default: the toolkit may ignore
    // SIGPIPE or handle signals that the child must not inherit. (The C
    // library's own two refuse, and exec resets them anyway.)
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);

    if (options.parentDeathSignal != 0) {
        ::prctl(PR_SET_PDEATHSIG, options.parentDeathSignal);
        // The parent may have gone before the request was in place.
        if (::getppid() != parent) ::_exit(127);
    }
    ChildFailure failure{0};
    if (options.newSession && ::setsid() < 0) failure.error = errno;

    const int errFd = options.errorFd >= 0 ? options.errorFd : options.outputFd;
    if (options.outputFd >= 0) ::dup2(options.outputFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    // The passed descriptors become 3, 4, ...: first everything that must
    // stay is moved above them, so that no dup2 overwrites another.
    const int passed = static_cast<int>(options.passFds.size());
    const int above = 3 + passed;
    int exeFd = options.executableFd;
    if (exeFd >= 0 && exeFd < above) exeFd = ::fcntl(exeFd, F_DUPFD_CLOEXEC, above);
    if (reportFd < above) reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, above);
    int moved[8];
    for (int i = 0; i < passed && i < 8; ++i)
        moved[i] = ::fcntl(options.passFds[static_cast<size_t>(i)], F_DUPFD_CLOEXEC,
                           std::max({above, reportFd, exeFd}) + 1);
    for (int i = 0; i < passed && i < 8; ++i) ::dup2(moved[i], 3 + i);
    // No descriptor of ours but 0, 1, 2, the passed ones, the program (when
    // executed from a descriptor) and the report pipe; the last two close
    // on exec.
    closeFrom(above, reportFd, exeFd);
    // Only now: a low limit would refuse the descriptors moved above.
    if (startupFileLimit) ::setrlimit(RLIMIT_NOFILE, startupFileLimit);

    if (failure.error == 0) {
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
            failure.error = errno;
        } else {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            if (exeFd >= 0)
                ::execveat(exeFd, "", argv, envp, AT_EMPTY_PATH);
            else
                ::execve(options.executable.c_str(), argv, envp);
            failure.error = errno;
        }
    }
    [[maybe_unused]] const ssize_t n = ::write(reportFd, &failure, sizeof failure);
    ::_exit(127);
}

}  // namespace

SpawnResult spawnProcess(const LaunchOptions& options) {
    SpawnResult result;

    // Everything the child needs is made before the fork.
    std::vector<std::string> argvStrings;
    argvStrings.push_back(options.executable);
    argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> envStrings = options.environment;
    auto argv = pointerArray(argvStrings);
    auto envp = pointerArray(envStrings);

    std::optional<Pipe> report = makePipe();
    if (!report) {
        result.errorNumber = errno;
        return result;
    }
    const rlimit* limit = startupFileLimit();
    // No handler of ours may run in the child before it has reset them.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) execChild(options, argv.data(), envp.data(), parent, report->write.get(), limit);
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    report->write.close();

    // The report pipe closes on a successful exec, and carries the error
    // of a failed one.
    ChildFailure failure{0};
    const ssize_t n =
        retryInterrupted([&] { return ::read(report->read.get(), &failure, sizeof failure); });

    if (pid < 0 || n == sizeof failure) {
        if (pid > 0) retryInterrupted([&] { return ::waitpid(pid, nullptr, 0); });
        result.errorNumber = pid < 0 ? forkError : failure.error;
        return result;
    }
    result.pid = pid;
    return result;
}

}  // namespace kestrix::platform
