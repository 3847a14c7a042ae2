#include "platform/processes.h"
#include "platform/linux/linux_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "platform/linux/interrupted.h"

namespace kestrix::platform {

std::string readWholeFile(const std::string& path) {
    std::string text;
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    for (ssize_t n; file && (n = retryInterrupted(
                                 [&] { return ::read(file.get(), buffer, sizeof buffer); })) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::optional<ProcessInfo> parseStat(pid_t pid, std::string_view stat) {
    // The command name may hold spaces and parentheses: the fields start
    // after the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::istringstream fields{std::string(stat.substr(close + 1))};
    ProcessInfo info;
    info.pid = pid;
    std::string skip;
    fields >> info.state >> info.ppid >> info.pgid >> info.sid;
    // Fields 7 to 21, then the start time (22).
    for (int i = 7; i <= 21; ++i) fields >> skip;
    fields >> info.startTime;
    if (!fields) return std::nullopt;
    return info;
}

std::optional<ProcessInfo> processInfo(pid_t pid) {
    return parseStat(pid, readWholeFile("/proc/" + std::to_string(pid) + "/stat"));
}

std::vector<ProcessInfo> allProcesses() {
    std::vector<ProcessInfo> result;
    const Directory proc(::opendir("/proc"));
    while (const dirent* entry = proc ? ::readdir(proc.get()) : nullptr)
        if (const auto pid = pidOfEntry(entry->d_name))
            if (auto info = processInfo(*pid)) result.push_back(*info);
    return result;
}

bool environmentHas(std::string_view environment, std::string_view entry) {
    for (size_t start = 0; start < environment.size();) {
        const size_t end = environment.find('\0', start);
        if (environment.substr(start, end - start) == entry) return true;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return false;
}

std::vector<ProcessInfo> descendantsIn(const std::vector<ProcessInfo>& all, pid_t root) {
    std::multimap<pid_t, const ProcessInfo*> children;
    for (const auto& p : all) children.emplace(p.ppid, &p);
    // Read one by one, the table can hold a loop (a pid reused between two
    // reads by a child of the process it replaced): each id is seen once.
    std::set<pid_t> seen = {root};
    std::vector<ProcessInfo> result;
    for (std::vector<pid_t> stack = {root}; !stack.empty();) {
        const auto [first, last] = children.equal_range(stack.back());
        stack.pop_back();
        for (auto it = first; it != last; ++it) {
            if (!seen.insert(it->second->pid).second) continue;
            if (it->second->alive()) result.push_back(*it->second);
            stack.push_back(it->second->pid);
        }
    }
    return result;
}

std::vector<ProcessInfo> liveDescendants(pid_t root) {
    return descendantsIn(allProcesses(), root);
}

std::vector<pid_t> selfAndAncestors() {
    std::vector<pid_t> chain;
    for (pid_t pid = ::getpid(); pid > 0 && chain.size() < 4096;) {
        chain.push_back(pid);
        const auto info = processInfo(pid);
        if (!info) break;
        pid = info->ppid;
    }
    return chain;
}

std::string bootId() {
    return bootIdFrom(readWholeFile("/proc/sys/kernel/random/boot_id"));
}

std::string randomToken() {
    unsigned char bytes[16] = {};
    for (size_t got = 0; got < sizeof bytes;) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) break;  // no such call: what was had
        if (n > 0) got += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (const unsigned char b : bytes) token += {digits[b >> 4], digits[b & 15]};
    return token;
}

std::optional<pid_t> pidOfEntry(std::string_view name) {
    const auto pid = decimal(name, INT32_MAX);
    if (!pid || *pid == 0) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

std::string bootIdFrom(std::string_view text) {
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return std::string(text);
}

std::string unifiedCgroup(std::string_view text) {
    std::string path;
    forEachLine(text, [&](std::string_view line) {
        if (path.empty() && line.starts_with("0::")) path = line.substr(3);
    });
    return path;
}

std::string cgroup2MountPoint(std::string_view mountinfo) {
    // "ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [TAGS...] - TYPE SOURCE ...":
    // the fifth field, of a line whose type is cgroup2.
    std::string found;
    forEachLine(mountinfo, [&](std::string_view line) {
        std::istringstream fields{std::string(line)};
        std::string field, mountPoint, type;
        for (int i = 1; i <= 5 && fields >> field; ++i) mountPoint = field;
        while (fields >> field && field != "-") {
        }
        if (found.empty() && fields >> type && type == "cgroup2" && mountPoint.starts_with("/"))
            found = mountPoint;
    });
    return found;
}

}  // namespace kestrix::platform
