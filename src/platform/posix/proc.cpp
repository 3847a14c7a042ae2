#include "platform/posix/proc.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace kestrix::platform {

namespace {

std::string readAll(const std::string& path) {
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

std::optional<ProcessInfo> processInfo(pid_t pid) {
    const std::string stat = readAll("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces and parentheses: the fields start
    // after the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
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

std::vector<ProcessInfo> allProcesses() {
    std::vector<ProcessInfo> result;
    DIR* dir = ::opendir("/proc");
    if (!dir) return result;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        if (auto info = processInfo(static_cast<pid_t>(pid))) result.push_back(*info);
    }
    ::closedir(dir);
    return result;
}

bool environmentContains(pid_t pid, const std::string& entry) {
    const std::string environment = readAll("/proc/" + std::to_string(pid) + "/environ");
    for (size_t start = 0; start < environment.size();) {
        const size_t end = environment.find('\0', start);
        if (environment.compare(start, end - start, entry) == 0) return true;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return false;
}

long processOwner(pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_uid);
}

std::string executablePath(pid_t pid) {
    char target[4096];
    const ssize_t n =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    std::string path(target, static_cast<size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    return path;
}

std::vector<ProcessInfo> liveDescendants(pid_t root) {
    const auto all = allProcesses();
    std::multimap<pid_t, const ProcessInfo*> children;
    for (const auto& p : all) children.emplace(p.ppid, &p);
    std::vector<ProcessInfo> result;
    for (std::vector<pid_t> stack = {root}; !stack.empty();) {
        const auto [first, last] = children.equal_range(stack.back());
        stack.pop_back();
        for (auto it = first; it != last; ++it) {
            if (it->second->alive()) result.push_back(*it->second);
            stack.push_back(it->second->pid);
        }
    }
    return result;
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
    std::string id = readAll("/proc/sys/kernel/random/boot_id");
    while (!id.empty() && id.back() == '\n') id.pop_back();
    return id;
}

}  // namespace kestrix::platform
