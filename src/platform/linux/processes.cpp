#include "platform/processes.h"
#include "platform/linux/linux_internal.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace kestrix::platform {

std::string readWholeFile(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

std::optional<unsigned long long> decimal(std::string_view text, unsigned long long most) {
    unsigned long long n = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    const auto [stop, error] = std::from_chars(text.data(), end, n);
    if (error != std::errc() || stop != end || n > most) return std::nullopt;
    return n;
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
    fields >> info.state >> info.ppid >> info.pgid;
    // Fields 6 to 21, then the start time (22).
    for (int i = 6; i <= 21; ++i) fields >> skip;
    fields >> info.startTime;
    if (!fields) return std::nullopt;
    return info;
}

std::optional<ProcessInfo> processInfo(pid_t pid) {
    return parseStat(pid, readWholeFile("/proc/" + std::to_string(pid) + "/stat"));
}

std::vector<ProcessInfo> allProcesses() {
    std::vector<ProcessInfo> result;
    DIR* dir = ::opendir("/proc");
    if (!dir) return result;
    while (const dirent* entry = ::readdir(dir))
        if (const auto pid = pidOfEntry(entry->d_name))
            if (auto info = processInfo(*pid)) result.push_back(*info);
    ::closedir(dir);
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

bool environmentContains(pid_t pid, const std::string& entry) {
    return environmentHas(readWholeFile("/proc/" + std::to_string(pid) + "/environ"), entry);
}

long processOwner(pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_uid);
}

long currentUser() {
    return static_cast<long>(::geteuid());
}

std::string executablePath(pid_t pid) {
    char target[4096];
    const ssize_t n =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
    return n > 0 ? programOfLink({target, static_cast<size_t>(n)}) : std::string();
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

std::optional<pid_t> pidOfEntry(std::string_view name) {
    const auto pid = decimal(name, INT32_MAX);
    if (!pid || *pid == 0) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

std::string programOfLink(std::string_view link) {
    constexpr std::string_view deleted = " (deleted)";
    if (link.size() > deleted.size() && link.ends_with(deleted)) link.remove_suffix(deleted.size());
    return std::string(link);
}

std::string bootIdFrom(std::string_view text) {
    while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return std::string(text);
}

std::string unifiedCgroup(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        if (text.substr(at, end - at).starts_with("0::"))
            return std::string(text.substr(at + 3, end - at - 3));
        at = end + 1;
    }
    return {};
}

}  // namespace kestrix::platform
