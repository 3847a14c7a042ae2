#include "platform/linux/stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "platform/files.h"
#include "platform/linux/linux_internal.h"

namespace kestrix::platform {

bool stopProcesses(const StopRound& round) {
    std::set<pid_t> asked;
    for (const auto& p : round.find()) {
        asked.insert(p.pid);
        if (p.pid > 1 && !(round.alreadyAsked && round.alreadyAsked(p))) ::kill(p.pid, SIGTERM);
    }
    for (;;) {
        if (round.eachRound) round.eachRound();
        const auto left = round.find();
        if (left.empty()) return true;
        const auto now = Clock::now();
        if (now >= round.giveUp) return false;
        for (const auto& p : left)
            if (p.pid > 1 && now >= round.deadline)
                ::kill(p.pid, SIGKILL);
            else if (p.pid > 1 && round.askNewcomers && asked.insert(p.pid).second)
                ::kill(p.pid, SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// Whether the process behind `pidfd` has not ended.
bool running(const Descriptor& pidfd) {
    pollfd p{pidfd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

}  // namespace

void stopMarkedProcesses(const std::string& entry, Clock::duration grace) {
    const auto excluded = selfAndAncestors();
    const auto deadline = Clock::now() + grace, giveUp = deadline + std::chrono::seconds(1);
    std::map<pid_t, Descriptor> marked;                       // held: signalled through the handle
    std::set<std::pair<pid_t, unsigned long long>> unmarked;  // looked at once
    for (;;) {
        bool found = false;
        for (const auto& p : allProcesses()) {
            if (!p.alive() || marked.contains(p.pid) || unmarked.contains({p.pid, p.startTime}) ||
                std::find(excluded.begin(), excluded.end(), p.pid) != excluded.end())
                continue;
            // The handle first: what is read next is this process's, or the
            // handle says it has ended.
            Descriptor pidfd(pidfdOpen(p.pid));
            struct stat st {};
            const std::string dir = "/proc/" + std::to_string(p.pid);
            if (!pidfd || ::stat(dir.c_str(), &st) != 0) continue;
            // Read while it is not in the middle of an exec (an empty text):
            // what it holds then is known for good.
            const std::string environment =
                st.st_uid == ::geteuid() ? readWholeFile(dir + "/environ") : "";
            const bool ours = environmentHas(environment, entry);
            if (ours && running(pidfd)) {
                pidfdSignal(pidfd.get(), Clock::now() < deadline ? SIGTERM : SIGKILL);
                marked.emplace(p.pid, std::move(pidfd));
                found = true;
            } else if (!ours && (st.st_uid != ::geteuid() || !environment.empty())) {
                unmarked.insert({p.pid, p.startTime});
            }
        }
        std::erase_if(marked, [](const auto& m) { return !running(m.second); });
        // Done once a look finds nothing new and everything found has ended.
        if (marked.empty() && !found) return;
        const auto now = Clock::now();
        if (now >= giveUp) return;
        if (now >= deadline)
            for (const auto& [pid, pidfd] : marked) pidfdSignal(pidfd.get(), SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace kestrix::platform
