#include "fuzz/targets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "backend/service_record.h"
#include "keeper/pid_list.h"
#include "platform/glib/key_file_defaults.h"
#include "platform/http_probe.h"
#include "platform/linux/keeper_protocol.h"
#include "platform/linux/linux_internal.h"
#include "platform/ports.h"
#include "platform/processes.h"
#include "service/http_request.h"

namespace kestrix::fuzz {

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

// `text` in a buffer of exactly its size and of its own, as libFuzzer hands
// it over: a parser that reads a byte past the end of what it was given is
// caught by the address sanitizer (a std::string's terminator, or the rest
// of a larger buffer around a piece, would hide it).
class Exact {
public:
    explicit Exact(std::string_view text) : bytes_(new char[text.size()]), size_(text.size()) {
        if (size_) std::memcpy(bytes_.get(), text.data(), size_);
    }
    operator std::string_view() const { return {bytes_.get(), size_}; }

private:
    std::unique_ptr<char[]> bytes_;
    size_t size_;
};

// `data` cut at each `separator`, each piece exact.
std::vector<Exact> pieces(std::string_view data, char separator) {
    std::vector<Exact> result;
    for (size_t at = 0; at <= data.size();) {
        const size_t end = std::min(data.find(separator, at), data.size());
        result.emplace_back(data.substr(at, end - at));
        at = end + 1;
    }
    return result;
}

void httpResponse(std::string_view given) {
    const Exact data(given);
    const auto head = platform::parseResponseHead(data);
    check(head.status == 0 || (head.status >= 100 && head.status <= 999), "status range");
    const auto next = platform::redirectTarget({"::1", "18926", "/"}, head);
    if (next && head.location.front() == '/')
        check(platform::parseHttpURL(Exact(*next))->host == "::1", "a path stays on its host");
    if (const auto url = platform::parseHttpURL(data)) check(!url->host.empty(), "a host");
}

void procFiles(std::string_view given) {
    const Exact whole(given);
    const std::string_view data = whole;
    // Each line one process's stat, the processes 2, 3, ... in turn.
    std::vector<platform::ProcessInfo> table;
    for (const auto& line : pieces(data, '\n'))
        if (auto info = platform::parseStat(static_cast<pid_t>(table.size() + 2), line))
            table.push_back(*info);
    std::set<pid_t> below;
    for (const auto& p : platform::descendantsIn(table, 2))
        check(p.pid != 2 && below.insert(p.pid).second, "each process below once");
    platform::environmentHas(data, "VANTREL_DATA_DIR=/home/u/data");
    // The other files: a name in /proc, an fd link, the boot id, the cgroup,
    // the mount table.
    if (const auto pid = platform::pidOfEntry(data)) check(*pid > 0, "a pid");
    check(data.starts_with(platform::bootIdFrom(data)), "the id less its line end");
    if (const auto inode = platform::socketInode(data))
        check(data.find(std::to_string(*inode)) != std::string_view::npos, "the inode");
    check(data.find(platform::unifiedCgroup(data)) != std::string_view::npos, "a cgroup");
    const std::string mount = platform::cgroup2MountPoint(data);
    check(mount.empty() || (mount[0] == '/' && data.find(mount) != std::string_view::npos),
          "a mount point");
    const std::string path(data.substr(0, data.find('\0')));
    check(path.starts_with(platform::bundleOfExecutable(path)), "the package above");
}

void httpRequest(std::string_view given) {
    // What the Backend service reads of a request, from any local process.
    if (const auto request = service::parseRequestHead(Exact(given))) {
        check(!request->method.empty() && request->path.starts_with("/"), "a method and a path");
        check(request->path.find('?') == std::string::npos, "the query apart");
        service::queryValue(Exact(request->query), "text");
    }
}

void netTcp(std::string_view given) {
    const Exact whole(given);
    const std::string_view data = whole, table = whole;
    for (const bool ipv6 : {false, true})
        for (long port = 18926; port <= 18930; ++port)
            platform::listenersReaching(table, ipv6, "127.0.0.1", port);
    // The same bytes as the kernel's socket diagnostics.
    std::map<unsigned long, unsigned long long> cgroups;
    platform::socketCgroups(data, 18926, cgroups);
    check(cgroups.size() <= data.size() / 88, "no socket without its message");
}

void pidList(std::string_view data) {
    for (const auto& line : pieces(data, '\n')) parsePidLine(line);
    parsePidList(Exact(data));
}

void serviceRecord(std::string_view data) {
    const ServiceRecord record = parseServiceRecord(Exact(data));
    if (record.present)
        check(parseServiceRecord(Exact(formatServiceRecord(record))) == record, "written as read");
}

void keeperProtocol(std::string_view data) {
    // Packets, each its length in one byte and then its bytes, from the
    // keeper to the shell and (the same) from the shell to the keeper.
    keeper::Reports reports;
    int ends = 0;
    for (size_t at = 0; at < data.size();) {
        const size_t size =
            std::min<size_t>(static_cast<unsigned char>(data[at]), data.size() - at - 1);
        const Exact packet(data.substr(at + 1, size));
        at += size + 1;
        ends += reports.take(packet) == keeper::Reports::Told::exited;
        check(!reports.answered || reports.startError != 0 || reports.pid > 0, "started or failed");
        check(!reports.ended || reports.pid > 0, "an end only after a start");
        check(!reports.status || reports.ended, "what it left gone only after its end");
        if (const auto message = keeper::decode(packet))
            check(message->kind >= keeper::kStarted && message->kind <= keeper::kEnded, "kind");
    }
    check(ends <= 1, "one end");
}

void commandLine(std::string_view data) {
    // Arguments are strings ending in a NUL, as the system hands them over.
    std::vector<std::string> argv;
    for (const auto& argument : pieces(data, '\0')) argv.emplace_back(std::string_view(argument));
    const auto outcome = handleCommandLine(argv, "3.1.0");
    check(outcome.status == -1 || outcome.status == 0 || outcome.status == 2, "exit status");
    for (const char c : outcome.error)
        check(c == '\n' || static_cast<unsigned char>(c) >= 0x20, "no control bytes shown");
    if (const auto keeper = keeper::parseArguments(argv))
        check(keeper->grace.count() >= 0 && keeper->grace.count() <= 600000, "grace range");
}

void settingsFile(std::string_view data) {
    for (const bool value : {true, false}) {
        const std::string written = platform::glib::withBoolInKeyFile(
            Exact(data), "kestrix.v3.native.didShowMenuBarTip", value);
        check(platform::glib::boolInKeyFile(Exact(written),
                                            "kestrix.v3.native.didShowMenuBarTip") == value,
              "the flag reads back");
    }
}

}  // namespace

const Target kTargets[9] = {
    {"http_response", httpResponse},
    {"http_request", httpRequest},
    {"proc_files", procFiles},
    {"net_tcp", netTcp},
    {"pid_list", pidList},
    {"service_record", serviceRecord},
    {"keeper_protocol", keeperProtocol},
    {"command_line", commandLine},
    {"settings_file", settingsFile},
};

const Target* findTarget(std::string_view name) {
    for (const auto& target : kTargets)
        if (name == target.name) return &target;
    return nullptr;
}

}  // namespace kestrix::fuzz
