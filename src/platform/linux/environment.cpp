#include "platform/environment.h"
#include "platform/linux/linux_internal.h"

#include <pthread.h>
#include <signal.h>

#include <optional>

extern char** environ;

namespace kestrix::platform {

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> result;
    for (char** e = environ; e && *e; ++e) result.emplace_back(*e);
    return result;
}

namespace {
std::optional<std::vector<std::string>> gStartupEnvironment;
}

void keepStartupEnvironment() {
    gStartupEnvironment = currentEnvironment();
}

std::vector<std::string> startupEnvironment() {
    return gStartupEnvironment ? *gStartupEnvironment : currentEnvironment();
}

namespace {
// The descriptor limit the program was started with, once raised.
std::optional<rlimit> gStartupFileLimit;
}  // namespace

void unblockQuitSignals() {
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&quitSignals, signal);
    pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
}

const rlimit* startupFileLimit() {
    return gStartupFileLimit ? &*gStartupFileLimit : nullptr;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    gStartupFileLimit = limit;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

void setEnvironmentValue(std::vector<std::string>& environment, const std::string& name,
                         const std::string& value) {
    const std::string prefix = name + "=";
    std::string entry = prefix + value;
    bool replaced = false;
    for (auto it = environment.begin(); it != environment.end();) {
        if (it->compare(0, prefix.size(), prefix) == 0) {
            if (!replaced) {
                *it = entry;
                replaced = true;
                ++it;
            } else {
                it = environment.erase(it);
            }
        } else {
            ++it;
        }
    }
    if (!replaced) environment.push_back(std::move(entry));
}

}  // namespace kestrix::platform
