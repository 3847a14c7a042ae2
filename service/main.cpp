// KestrixV3: the Backend service that ships inside the application package.
//
//   KestrixV3 --no-browser -dashboard-addr HOST:PORT
//
// Serves a small control panel over plain HTTP on HOST:PORT ("/" answers
// 200), keeps its data under $VANTREL_DATA_DIR (created on first use), logs to
// standard output and standard error, and exits with status 0 on SIGTERM or
// SIGINT. Other arguments are refused with status 2.
//
// Test behaviours, all off unless set in the environment (see README.md):
//   KESTRIX_STUB_LISTEN_DELAY_MS   wait this long before listening
//   KESTRIX_STUB_STATUS            answer "/" with this status ...
//   KESTRIX_STUB_STATUS_FOR_MS     ... for this long after start (default: always)
//   KESTRIX_STUB_HANG=1            accept connections and never answer
//   KESTRIX_STUB_IGNORE_TERM=1     do not exit on SIGTERM
//   KESTRIX_STUB_TREE_DEPTH/_WIDTH start a tree of child processes, which
//                                  ignore SIGTERM
//   KESTRIX_STUB_DAEMONS           start this many daemons that leave the
//                                  service's group and session (setsid and
//                                  a second fork), ignoring SIGTERM and SIGHUP
//   KESTRIX_STUB_EXIT_AFTER_MS     exit by itself after this long ...
//   KESTRIX_STUB_EXIT_STATUS       ... with this status (default 0)
//   KESTRIX_STUB_PID_FILE          every process of the tree appends
//                                  "<pid> <ppid>" here
//   KESTRIX_STUB_SIGNAL_LOG        every process appends "<pid> TERM" (or
//                                  "<pid> INT") here when it receives SIGTERM
//                                  (or SIGINT)
//   KESTRIX_STUB_BIND              listen on this address instead of HOST
//                                  (0.0.0.0, ::, ::ffff:127.0.0.1)
//   KESTRIX_STUB_UNDUMPABLE=1      make the process non-dumpable, so that
//                                  its descriptors are hidden from its user
//   KESTRIX_STUB_PAGE_SCRIPT       more script for the panel's page, run as
//                                  it loads; what it posts to /api/note as
//                                  "text" is logged as "note <text>"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/http_request.h"

namespace {

using kestrix::service::parseRequestHead;
using kestrix::service::queryValue;
using kestrix::service::Request;
using Clock = std::chrono::steady_clock;

const Clock::time_point gStart = Clock::now();
int gSignalLogFd = -1;
bool gIgnoreTerm = false;
int gWakePipe[2] = {-1, -1};

long envNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    if (!value || !*value) return fallback;
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    return end && *end == '\0' ? n : fallback;
}

bool envFlag(const char* name) {
    return envNumber(name, 0) != 0;
}

void appendLine(const char* path, const std::string& line) {
    if (!path || !*path) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
}

// One log line: "[KestrixV3 <pid>] <message> @<wall-clock milliseconds>".
void log(const std::string& message) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    std::printf("[KestrixV3 %d] %s @%lld\n", ::getpid(), message.c_str(),
                static_cast<long long>(ms));
    std::fflush(stdout);
}

// Async-signal-safe: only write() of a prepared buffer.
void onTerm(int signal) {
    if (gSignalLogFd >= 0) {
        char line[32];
        int n = 0;
        char digits[16];
        int d = 0;
        for (pid_t p = ::getpid(); p > 0 && d < 15; p /= 10) digits[d++] = char('0' + p % 10);
        while (d > 0) line[n++] = digits[--d];
        for (const char* s = signal == SIGTERM ? " TERM\n" : " INT\n"; *s; ++s) line[n++] = *s;
        [[maybe_unused]] const ssize_t w = ::write(gSignalLogFd, line, static_cast<size_t>(n));
    }
    if (!gIgnoreTerm && gWakePipe[1] >= 0) {
        const char byte = 't';
        [[maybe_unused]] const ssize_t w = ::write(gWakePipe[1], &byte, 1);
    }
}

void installTermHandler() {
    struct sigaction sa {};
    sa.sa_handler = onTerm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
}

void recordPid() {
    appendLine(std::getenv("KESTRIX_STUB_PID_FILE"),
               std::to_string(::getpid()) + " " + std::to_string(::getppid()) + "\n");
}

// Forks `width` children, each with a subtree of `depth - 1` levels. Runs
// before any thread exists. Children ignore SIGTERM and wait to be killed.
void spawnTree(long depth, long width) {
    if (depth <= 0) return;
    for (long i = 0; i < width; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            gIgnoreTerm = true;
            gWakePipe[0] = gWakePipe[1] = -1;
            recordPid();
            spawnTree(depth - 1, width);
            for (;;) ::pause();
        }
    }
}

// Daemons the way real helpers detach: fork, setsid, fork again; the
// middle one exits, so each is handed to the nearest subreaper.
void spawnDaemons(long count) {
    for (long i = 0; i < count; ++i) {
        const pid_t middle = ::fork();
        if (middle != 0) {
            ::waitpid(middle, nullptr, 0);
            continue;
        }
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        recordPid();
        for (;;) ::pause();
    }
}

bool parseAddress(const std::string& address, std::string& host, int& port) {
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = address.substr(0, colon);
    char* end = nullptr;
    const long p = std::strtol(address.c_str() + colon + 1, &end, 10);
    if (!end || *end != '\0' || p < 1 || p > 65535) return false;
    port = static_cast<int>(p);
    return true;
}

// Accepts connections and holds them without a word, until told to stop.
int serveHanging(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        std::fprintf(stderr, "KestrixV3: cannot listen on %s:%d: %s\n", host.c_str(), port,
                     std::strerror(errno));
        return 1;
    }
    log("listening on " + host + ":" + std::to_string(port) + " (never answering)");
    std::thread([fd] {
        std::vector<int> held;
        for (;;) {
            const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) held.push_back(c);
        }
    }).detach();
    char byte;
    while (::read(gWakePipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    log("stopping");
    return 0;
}

std::string htmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string outputTarget() {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/proc/self/fd/1", ec);
    return ec ? std::string("(unknown)") : target.string();
}

std::string panelPage(const std::string& dataDir, long visits) {
    const auto uptime =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - gStart).count();
    std::string page = R"HTML(<!doctype html>
<html><head><meta charset="utf-8"><title>Kestrix V3.1 控制面板</title>
<style>
body{font-family:sans-serif;margin:2em;color:#222}
h1{font-size:1.4em}
table{border-collapse:collapse;margin:1em 0}
td{padding:.3em 1em .3em 0}
td:first-child{color:#666}
button{margin-right:.5em;padding:.4em 1em}
#answer{margin-top:1em;color:#06c}
</style></head>
<body>
<h1>Kestrix V3.1 控制面板</h1>
<table>
<tr><td>进程</td><td id="pid">)HTML";
    page += std::to_string(::getpid());
    page += R"HTML(</td></tr>
<tr><td>运行时间</td><td id="uptime">)HTML";
    page += std::to_string(uptime) + " s";
    page += R"HTML(</td></tr>
<tr><td>数据目录</td><td id="data">)HTML";
    page += htmlEscape(dataDir);
    page += R"HTML(</td></tr>
<tr><td>日志</td><td id="log">)HTML";
    page += htmlEscape(outputTarget());
    page += R"HTML(</td></tr>
<tr><td>访问次数</td><td id="visits">)HTML";
    page += std::to_string(visits);
    page += R"HTML(</td></tr>
</table>
<button id="alert" onclick="alert('这是来自控制面板的提示。');document.getElementById('answer').textContent='alert 已关闭'">alert()</button>
<button id="confirm" onclick="document.getElementById('answer').textContent='confirm → '+confirm('要继续吗？')">confirm()</button>
<button id="prompt" onclick="document.getElementById('answer').textContent='prompt → '+prompt('请输入：','')">prompt()</button>
<div id="answer"></div>
<script>
window.addEventListener('load', function () {
  fetch('/api/rendered', {method: 'POST'}).catch(function () {});
});
</script>
)HTML";
    if (const char* script = std::getenv("KESTRIX_STUB_PAGE_SCRIPT"); script && *script)
        page += std::string("<script>\n") + script + "\n</script>\n";
    return page + "</body></html>\n";
}

struct Response {
    int status;
    std::string type, body, cookie;  // cookie: a Set-Cookie value, or empty
};

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 404:
            return "Not Found";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// A socket listening on `host` (IPv4, or IPv6 with the mapped and
// dual-stack forms) and `port`, SO_REUSEADDR alone: it takes the port while
// connections of an earlier listener wait out their TIME_WAIT, and never
// shares it with a second listener. -1 on failure.
int listenOn(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t size;
    const bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(address);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) != 1) return errno = EINVAL, -1;
        size = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(address);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return errno = EINVAL, -1;
        size = sizeof a;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1, no = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (v6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd, 64) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return errno = error, -1;
    }
    return fd;
}

// One connection: its request (2 s to send it), the answer, logged as
// "METHOD PATH STATUS", and the connection closed.
void serve(int connection, std::function<Response(const Request&)> answer) {
    const timeval limit{2, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string data;
    char buffer[4096];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos && data.size() < 65536) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) return (void)::close(connection);
        data.append(buffer, static_cast<size_t>(n));
    }
    const auto request = parseRequestHead(std::string_view(data).substr(0, headEnd + 2));
    Response response{400, "text/plain", "bad request\n", ""};
    if (request) {
        // The body is read and passed over.
        for (size_t got = data.size() - headEnd - 4;
             got < request->bodyLength && got < (1 << 20);) {
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        response = answer(*request);
    }
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      reason(response.status) + "\r\nContent-Type: " + response.type +
                      "\r\nContent-Length: " + std::to_string(response.body.size()) +
                      "\r\nConnection: close\r\n";
    if (!response.cookie.empty()) out += "Set-Cookie: " + response.cookie + "\r\n";
    out += "\r\n" + response.body;
    for (size_t sent = 0; sent < out.size();) {
        const ssize_t n = ::send(connection, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    if (request) log(request->method + " " + request->path + " " + std::to_string(response.status));
    ::shutdown(connection, SHUT_WR);
    ::close(connection);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "--no-browser") != 0 ||
        std::strcmp(argv[2], "-dashboard-addr") != 0) {
        std::fprintf(stderr, "usage: KestrixV3 --no-browser -dashboard-addr HOST:PORT\n");
        return 2;
    }
    std::string host;
    int port = 0;
    if (!parseAddress(argv[3], host, port)) {
        std::fprintf(stderr, "KestrixV3: bad address '%s' (want HOST:PORT)\n", argv[3]);
        return 2;
    }

    if (const char* bind = std::getenv("KESTRIX_STUB_BIND"); bind && *bind) host = bind;
    if (envFlag("KESTRIX_STUB_UNDUMPABLE")) ::prctl(PR_SET_DUMPABLE, 0);
    if (const char* path = std::getenv("KESTRIX_STUB_SIGNAL_LOG"); path && *path)
        gSignalLogFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    gIgnoreTerm = envFlag("KESTRIX_STUB_IGNORE_TERM");
    if (::pipe2(gWakePipe, O_CLOEXEC) != 0) return 1;
    installTermHandler();
    ::signal(SIGINT, onTerm);
    ::signal(SIGPIPE, SIG_IGN);

    recordPid();
    spawnTree(envNumber("KESTRIX_STUB_TREE_DEPTH", 0), envNumber("KESTRIX_STUB_TREE_WIDTH", 1));
    spawnDaemons(envNumber("KESTRIX_STUB_DAEMONS", 0));

    const char* dataDirEnv = std::getenv("VANTREL_DATA_DIR");
    const std::string dataDir = dataDirEnv && *dataDirEnv ? dataDirEnv : "";
    log("starting; data directory " + (dataDir.empty() ? std::string("(unset)") : dataDir));
    std::fprintf(stderr, "[KestrixV3 %d] standard error goes to %s\n", ::getpid(),
                 outputTarget().c_str());
    std::fflush(stderr);

    if (const long after = envNumber("KESTRIX_STUB_EXIT_AFTER_MS", -1); after >= 0) {
        const int status = static_cast<int>(envNumber("KESTRIX_STUB_EXIT_STATUS", 0));
        std::thread([after, status] {
            std::this_thread::sleep_for(std::chrono::milliseconds(after));
            log("exiting by itself with status " + std::to_string(status));
            std::fflush(nullptr);
            ::_exit(status);
        }).detach();
    }

    if (const long delay = envNumber("KESTRIX_STUB_LISTEN_DELAY_MS", 0); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));

    if (envFlag("KESTRIX_STUB_HANG")) return serveHanging(host, port);

    const long overrideStatus = envNumber("KESTRIX_STUB_STATUS", 0);
    const long overrideForMs = envNumber("KESTRIX_STUB_STATUS_FOR_MS", -1);
    // "/": the panel (a lasting cookie of ten days, and what the browser
    // sent back of it logged); the page's two posts; nothing else. Each
    // connection's thread has its own copy, which may outlive main().
    const auto answer = [=](const Request& req) -> Response {
        static std::mutex dataMutex;
        static long visits = 0;
        if (req.method == "GET" && req.path == "/") {
            if (!req.cookie.empty()) log("cookie " + req.cookie);
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gStart)
                    .count();
            if (overrideStatus > 0 && (overrideForMs < 0 || elapsed < overrideForMs))
                return {static_cast<int>(overrideStatus), "text/plain", "not ready\n", ""};
            long count;
            {
                std::lock_guard lock(dataMutex);
                count = ++visits;
                if (!dataDir.empty()) {
                    std::error_code ec;
                    std::filesystem::create_directories(dataDir, ec);
                    std::ofstream(dataDir + "/visits") << count << "\n";
                }
            }
            return {200, "text/html; charset=utf-8", panelPage(dataDir, count),
                    "kestrix-visit=" + std::to_string(count) + "; Max-Age=864000; Path=/"};
        }
        if (req.method == "POST" && req.path == "/api/rendered") {
            log("panel rendered");
            return {200, "text/plain", "ok\n", ""};
        }
        if (req.method == "POST" && req.path == "/api/note") {
            log("note " + queryValue(req.query, "text"));
            return {200, "text/plain", "ok\n", ""};
        }
        return {404, "text/plain", "not found\n", ""};
    };

    const int listener = listenOn(host, port);
    if (listener < 0) {
        std::fprintf(stderr, "KestrixV3: cannot listen on %s:%d: %s\n", host.c_str(), port,
                     std::strerror(errno));
        return 1;
    }
    log("listening on " + host + ":" + std::to_string(port));
    // Until told to stop: a connection a thread, one request each (an idle
    // keep-alive connection would hold up the exit on SIGTERM).
    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {gWakePipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        if (fds[0].revents == 0) continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) std::thread(serve, connection, answer).detach();
    }
    ::close(listener);
    log("stopped");
    return 0;
}
