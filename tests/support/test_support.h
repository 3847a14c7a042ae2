// Shared pieces of the tests: temporary directories, free loopback ports,
// bounded waits, /proc look-ups and a harness that runs the controller on the
// headless adapter with a package of its own.
#pragma once

#include <sched.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_delegate.h"
#include "backend/service_record.h"
#include "platform/environment.h"
#include "platform/headless/headless_app.h"
#include "platform/processes.h"
#include "platform/spawn.h"

namespace kestrix::test {

// An alert's second button's answer.
inline constexpr long kSecondButton = platform::kAlertFirstButtonReturn + 1;

using namespace std::chrono_literals;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A loopback port that nothing listens on right now.
int freePort();

// `path` as a file every account can read and run: itself, where every
// folder above it lets others through; else a copy of it in a folder of the
// tests' own (a checkout in a home of mode 0700), sharedDirectory().
std::string forAnyAccount(const std::string& path);
// That folder: made once, or the one a test that started this process
// named in $KESTRIX_TEST_SHARED.
const std::string& sharedDirectory();

std::string readFile(const std::string& path);
// /proc/`pid`/`entry`.
inline std::string procPath(pid_t pid, const std::string& entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::vector<std::string> linesOf(const std::string& text, char separator = '\n');
// How often `needle` is in `text`.
size_t occurrences(const std::string& text, const std::string& needle);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// True while the process exists and is not a zombie.
bool processAlive(pid_t pid);
// True when none of `pids` is alive.
bool allGone(const std::vector<pid_t>& pids);
// Every live descendant of `pid`, found through /proc.
std::vector<pid_t> liveDescendants(pid_t pid);
// Process ids read from a file of "<pid> <ppid>" lines.
std::vector<pid_t> pidsFromFile(const std::string& path);
// Waits until `path` lists `count` processes (a tree forks its levels one
// after the other), then returns them.
std::vector<pid_t> waitForPids(const std::string& path, size_t count);
// SIGKILL to each pid still alive; used to clean up after a failed test.
void killAll(const std::vector<pid_t>& pids);
int openDescriptorCount();
int threadCount();
// The thread count once one-time helper threads exist.
int baselineThreadCount();
int zombieChildCount();

// In a mount namespace of the caller's own (root): nothing mounted from now
// on reaches the machine's mounts. Where / is not a mount point (a plain
// chroot), it is made one first. False where that cannot be done.
bool makeMountsPrivate();

// Runs `body` in a forked child, there in the new `namespaces` (CLONE_NEW...
// flags; root only): a pid namespace with `body` as its process 1 (and a
// /proc of its own, with a mount namespace), a network namespace with its
// loopback up. The child's failures fail the test.
void inForkedChild(const std::function<void()>& body, int namespaces = 0);

// A plain child of the test, reaped when asked about.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child();  // SIGKILL to one still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t processIdentifier() const { return pid_; }
    bool isRunning();
    void signal(int number);  // while not reaped
    void waitUntilExit();
    std::optional<int> terminationStatus() const { return status_; }

private:
    pid_t pid_;
    std::optional<int> status_;
};
// Null when it could not be started.
std::shared_ptr<Child> startChild(const platform::LaunchOptions& options);
// `command` (its first word a path) with `environment` as its whole
// environment, its output appended to `output` (inherited where empty).
std::shared_ptr<Child> startCommand(const std::vector<std::string>& command,
                                    std::vector<std::string> environment = {},
                                    const std::string& output = "");
// `command` as another account's (nobody's).
std::vector<std::string> asNobody(std::vector<std::string> command);
using Variables = std::vector<std::pair<std::string, std::string>>;
// This process's environment with each (name, value) of `changes` set.
std::vector<std::string> environmentWith(const Variables& changes);
// The stand-in service's settings for a tree of `depth` levels of `width`
// children, and `daemons` that leave it, all ignoring SIGTERM unless told.
Variables serviceTree(int depth, int width, int daemons, bool ignoreTerm = true);

// A listener on 127.0.0.1:`port`, in a thread of its own. Each connection
// is answered with what `reply` gives; with no reply it stays open, silent.
class Listener {
public:
    Listener(int port, std::function<std::string()> reply);
    ~Listener();
    int requestCount() const { return requests_; }
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// An HTTP answer with `status` and `body`, which then closes its connection.
std::function<std::string()> httpStatus(std::function<int()> status, std::string body = "test");
inline std::function<std::string()> httpStatus(int status) {
    return httpStatus([status] { return status; });
}

// A Backend service as users ship them (tests/support/script_service.sh),
// in `h`'s package.
class Harness;
void installScriptService(Harness& h);
// The script and its helpers, all started.
inline constexpr size_t kScriptServiceProcesses = 9;
// Waits until `count` live processes are below `pid` (a script service:
// the script and its helpers, each running its program), then returns them.
std::vector<platform::ProcessInfo> waitForTree(pid_t pid, size_t count);
// True when none of `processes` (known by id and start time) is alive.
bool noneLeft(const std::vector<platform::ProcessInfo>& processes);

// Runs the controller on the headless adapter with a package, a home and
// command directories inside a temporary directory, and a port of its own.
class Harness {
public:
    enum class Launcher { Setsid, Direct };
    // `backend`: the program copied into the package as the Backend service;
    // empty for none.
    explicit Harness(const std::string& backend = KESTRIX_SERVICE_PATH,
                     Launcher launcher = Launcher::Setsid);
    ~Harness();

    void makeDelegate();
    // The program's start as the desktop makes it, the tip already seen.
    void start();
    // start(); true once the panel is in the window, with no alert shown.
    bool startShowsPanel();
    // Pumps the main queue until `condition` holds (bounded).
    bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s);
    // True once the panel URL has been loaded into the web view.
    bool panelLoaded() const;
    int panelLoads() const;
    // The keeper of the running service.
    pid_t keeper() const { return delegate->backendTask.load()->keeperIdentifier(); }
    std::string backendPath() const;
    int port() const { return static_cast<int>(settings.panelPort); }
    std::string logPath() const;
    std::vector<std::string> alertMessages() const;

    TempDir dir;
    Settings settings;
    platform::headless::HeadlessApplication app;
    std::shared_ptr<AppDelegate> delegate;
    std::string pidFile;
    std::string signalLog;
};

// `h`'s script service started by a program of its own (a forked process):
// what the service runs, and the launch's record.
struct ForkedProgram {
    explicit ForkedProgram(Harness& h);
    // Kills the program and its keeper together.
    void killWithKeeper();

    pid_t program = -1;
    std::vector<platform::ProcessInfo> tree;
    ServiceRecord record;
};
// A start of the program that finds `record` left in its runtime directory
// (and `home` for its home, when given) shows its panel.
bool showsPanelDespite(const ServiceRecord& record, const std::string& home = "");

}  // namespace kestrix::test
