#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <sstream>

#include "app/app_delegate.h"
#include "backend/service_record.h"
#include "platform/files.h"
#include "platform/processes.h"

namespace kestrix {

/*
 * One instance per user, and a backstop for a service that lost its keeper.
 *
 * The first start takes a lock in the user's runtime directory and holds it
 * for its whole life, so that a second start that cannot reach it over the
 * session bus still refuses to run a second service. That directory is used
 * only when it is ours alone (our own, mode 0700, not a link): else the one
 * under ~/.cache, on the same terms; else neither, and the probe alone
 * decides. Another account must not be able to block our start, or plant a
 * record, through a directory it can write.
 *
 * Every launch records the keeper and the service there: process ids, start
 * times, whether the service leads a group, and the boot. A normal stop
 * removes the record. A record still there at the next start belongs to a
 * shell that was killed or crashed. Its keeper has seen the lifeline cut and
 * is stopping (or has stopped) everything below it; should the keeper
 * itself have been killed, the service got SIGTERM by the parent-death
 * signal and what ignores it is left. So, before the single-instance probe,
 * the next start asks a keeper that is still there to finish, and stops the
 * service and what it started that is left; so does the running shell when
 * the keeper of its service is killed, before the end is reported. The
 * record goes once that is done.
 *
 * We never reap what we did not start (the toolkit reaps its own children
 * by their ids, and a reaper of every child would take their statuses): what
 * a lost keeper held has been handed to another parent, and is signalled by
 * its id, after its start time has been checked again in each round.
 *
 * A record is a file anyone who can write the directory could have made,
 * so it only ever picks among processes that prove themselves: of our user,
 * executing this package's keeper or service, with this user's data
 * directory in their environment, never process 0 or 1, never this program
 * or one of its ancestors; the keeper and the service with the recorded
 * start time in the recorded boot, whatever the service started (in its
 * group or not) started after it.
 */

namespace {

// The record; nothing unless it is a regular file of ours.
ServiceRecord readRecord(const std::string& path) {
    return parseServiceRecord(platform::readOwnFile(path, 4096).value_or(""));
}

// A decimal number from `least` up to `most`, digits only; else -1.
long long number(std::string_view text, long long least, long long most) {
    if (text.empty() || text.size() > 19) return -1;
    long long n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || n > (most - (c - '0')) / 10) return -1;
        n = n * 10 + (c - '0');
    }
    return n >= least ? n : -1;
}

}  // namespace

ServiceRecord parseServiceRecord(std::string_view text) {
    ServiceRecord record;
    constexpr long long kMaxPid = INT32_MAX, kMaxTime = INT64_MAX;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        record.present = true;
        if (key == "keeper") record.keeper = number(value, 2, kMaxPid);
        if (key == "keeperStart") record.keeperStart = number(value, 0, kMaxTime);
        if (key == "pid") record.pid = number(value, 2, kMaxPid);
        if (key == "start") record.start = number(value, 0, kMaxTime);
        if (key == "group") record.group = value == "1";
        if (key == "boot") record.boot = value;
    }
    return record;
}

std::string formatServiceRecord(const ServiceRecord& r) {
    std::ostringstream text;
    text << "keeper=" << r.keeper << "\nkeeperStart=" << r.keeperStart << "\npid=" << r.pid
         << "\nstart=" << r.start << "\ngroup=" << (r.group ? 1 : 0) << "\nboot=" << r.boot
         << "\n";
    return text.str();
}

std::string AppDelegate::runtimeDirectory() const {
    std::vector<std::string> candidates;
    if (!settings_.runtimeDirectory.empty()) {
        candidates.push_back(settings_.runtimeDirectory);
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        candidates.push_back(std::string(runtime) + "/" + kApplicationID);
    }
    candidates.push_back(homeDirectory() + "/.cache/" + kApplicationID);
    for (const auto& dir : candidates)
        if (platform::privateDirectory(dir)) return dir;
    return {};
}

bool AppDelegate::holdInstanceLock() {
    if (instanceLock_) return true;
    const std::string dir = runtimeDirectory();
    // Where no lock can be had at all, the probe alone decides.
    if (dir.empty()) return true;
    bool unusable = false;
    instanceLock_ = platform::lockExclusively(dir + "/instance.lock", unusable);
    return instanceLock_ || unusable;
}

void AppDelegate::recordService() {
    const auto task = backendTask.load();
    const std::string dir = runtimeDirectory();
    if (!task || dir.empty()) return;
    const auto service = platform::processInfo(task->processIdentifier());
    const auto keeper = platform::processInfo(task->keeperIdentifier());
    if (!service || !keeper) return;
    ServiceRecord record;
    record.keeper = keeper->pid;
    record.keeperStart = static_cast<long long>(keeper->startTime);
    record.pid = service->pid;
    record.start = static_cast<long long>(service->startTime);
    record.group = usedSetsid;
    record.boot = platform::bootId();
    platform::writeFileAtomically(dir + "/backend.record", formatServiceRecord(record));
}

void AppDelegate::forgetService(pid_t pid) {
    const std::string dir = runtimeDirectory();
    if (dir.empty()) return;
    const std::string path = dir + "/backend.record";
    if (readRecord(path).pid == pid) platform::removeFile(path);
}

void AppDelegate::stopLostService() {
    const std::string dir = runtimeDirectory();
    if (dir.empty()) return;
    const std::string path = dir + "/backend.record";
    const ServiceRecord record = readRecord(path);
    if (!record.present) return;
    if (record.boot.empty() || record.boot != platform::bootId()) {
        platform::removeFile(path);
        return;
    }

    const std::string marker = std::string(kDataDirVariable) + "=" + dataDirectory();
    const auto ancestry = platform::selfAndAncestors();
    const std::string bundle =
        settings_.bundlePath.empty() ? platform::mainBundlePath() : settings_.bundlePath;
    const std::string servicePath = bundle + "/" + settings_.backendRelativePath;
    // Whether `p` is a live process of ours executing `program`.
    const auto proves = [&](const platform::ProcessInfo& p, const std::string& program) {
        return p.pid >= 2 && p.alive() &&
               std::find(ancestry.begin(), ancestry.end(), p.pid) == ancestry.end() &&
               platform::processOwner(p.pid) == platform::currentUser() &&
               platform::executablePath(p.pid) == program &&
               platform::environmentContains(p.pid, marker);
    };
    const auto recorded = [&](long long pid, long long start,
                              const std::string& program) -> std::optional<platform::ProcessInfo> {
        if (pid < 2 || start < 0) return std::nullopt;
        const auto info = platform::processInfo(static_cast<pid_t>(pid));
        if (!info || info->startTime != static_cast<unsigned long long>(start) ||
            !proves(*info, program))
            return std::nullopt;
        return info;
    };

    // A keeper still there stops its own tree, within its grace.
    if (const auto keeper = recorded(record.keeper, record.keeperStart, keeperPath()))
        platform::stopKnownProcesses({*keeper}, graceDuration() + std::chrono::seconds(1));
    // The service, and what it started that runs it too, in its group or
    // not (daemons), started after it.
    std::vector<platform::ProcessInfo> lost;
    if (record.start >= 0)
        for (const auto& p : platform::allProcesses())
            if (p.startTime >= static_cast<unsigned long long>(record.start) &&
                proves(p, servicePath))
                lost.push_back(p);
    platform::stopKnownProcesses(lost, graceDuration());
    platform::removeFile(path);
}

}  // namespace kestrix
