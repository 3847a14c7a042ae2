#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "app/app_delegate.h"
#include "platform/posix/files.h"
#include "platform/posix/proc.h"

namespace kestrix {

/*
 * One instance per user, and no service left without its shell.
 *
 * The first start takes a lock in the user's runtime directory and holds it
 * for its whole life, so that a second start that cannot reach it over the
 * session bus still refuses to run a second service.
 *
 * Every launch records the service there: its process id (the id of its
 * process group too, when started through setsid), when it started, and
 * which boot that was. A normal stop removes the record. A record that is
 * still there at the next start belongs to a shell that was killed or
 * crashed; what it names is stopped before the single-instance probe, so
 * that the lost service is never mistaken for an older instance. Nothing is
 * touched that the record does not prove to be ours: the service itself
 * must have the recorded start time in the recorded boot, and where it is
 * gone, every process left in its group must have started after it and
 * carry the data-directory variable it was given.
 */

namespace {

std::map<std::string, std::string> readRecord(const std::string& path) {
    std::map<std::string, std::string> fields;
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return fields;
    char buffer[512];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 4096;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const auto eq = line.find('='); eq != std::string::npos)
            fields[line.substr(0, eq)] = line.substr(eq + 1);
    return fields;
}

long long number(const std::map<std::string, std::string>& fields, const char* key) {
    const auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return -1;
    char* end = nullptr;
    const long long n = std::strtoll(it->second.c_str(), &end, 10);
    return *end == '\0' ? n : -1;
}

}  // namespace

std::string AppDelegate::runtimeDirectory() const {
    std::string base = settings_.runtimeDirectory;
    if (base.empty()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        base = runtime && runtime[0] == '/' ? runtime : homeDirectory() + "/.cache";
        base += std::string("/") + kApplicationID;
    }
    return base;
}

bool AppDelegate::holdInstanceLock() {
    if (instanceLock_ >= 0) return true;
    const std::string dir = runtimeDirectory();
    platform::createDirectories(dir, 0700);
    const std::string path = dir + "/instance.lock";
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    // Where no lock can be had at all, the probe alone decides.
    if (fd < 0) return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    instanceLock_ = fd;
    return true;
}

void AppDelegate::recordService() {
    const auto info = platform::processInfo(backendPGID);
    if (!info) return;
    const std::string path = runtimeDirectory() + "/backend.record";
    std::ostringstream record;
    record << "pid=" << backendPGID << "\ngroup=" << (usedSetsid ? 1 : 0)
           << "\nstart=" << info->startTime << "\nboot=" << platform::bootId() << "\n";
    platform::writeFileAtomically(path, record.str());
}

void AppDelegate::forgetService(pid_t pid) {
    const std::string path = runtimeDirectory() + "/backend.record";
    if (number(readRecord(path), "pid") == pid) ::unlink(path.c_str());
}

void AppDelegate::stopLostService() {
    const std::string path = runtimeDirectory() + "/backend.record";
    const auto record = readRecord(path);
    if (record.empty()) return;
    ::unlink(path.c_str());

    const long long pid = number(record, "pid"), start = number(record, "start");
    const auto boot = record.find("boot");
    if (pid < 1 || pid > INT32_MAX || start < 0 || boot == record.end() ||
        boot->second != platform::bootId())
        return;
    const auto id = static_cast<pid_t>(pid);
    const auto startTime = static_cast<unsigned long long>(start);
    const auto service = platform::processInfo(id);
    const bool serviceIsOurs = service && service->alive() && service->startTime == startTime;

    if (number(record, "group") != 1) {
        if (!serviceIsOurs) return;
        const auto alive = [id] {
            const auto info = platform::processInfo(id);
            return info && info->alive();
        };
        ::kill(id, SIGTERM);
        for (const auto deadline = graceDeadline(); alive() && Clock::now() < deadline;)
            pollPause();
        if (alive()) killProcessTree(id);
        return;
    }

    if (!serviceIsOurs) {
        // Another process has the id now: nothing of ours is left.
        if (service && service->alive()) return;
        const std::string marker = std::string(kDataDirVariable) + "=" + dataDirectory();
        bool any = false;
        for (const auto& p : platform::allProcesses()) {
            if (p.pgid != id || !p.alive()) continue;
            if (p.startTime < startTime || !platform::environmentContains(p.pid, marker)) return;
            any = true;
        }
        if (!any) return;
    }
    stopGroup(id);
}

}  // namespace kestrix
