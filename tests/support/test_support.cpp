#include "support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace kestrix::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kestrix-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

namespace {

// Every test leaves the environment as it found it: what a case sets for
// the service or the program (KESTRIX_STUB_*, the harness's logs) is undone
// as it ends.
class EnvironmentKeeper final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        saved_ = platform::currentEnvironment();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        ::clearenv();
        for (const std::string& entry : saved_)
            if (const size_t equals = entry.find('='); equals != std::string::npos)
                ::setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
    }
    std::vector<std::string> saved_;
};
[[maybe_unused]] const bool kEnvironmentKept =
    (::testing::UnitTest::GetInstance()->listeners().Append(new EnvironmentKeeper), true);

// 127.0.0.1:`port` as the socket calls take it.
sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

const std::string& sharedDirectory() {
    static const std::string dir = [] {
        if (const char* given = std::getenv("KESTRIX_TEST_SHARED"); given && *given)
            return std::string(given);
        std::string made = (fs::temp_directory_path() / "kestrix-shared-XXXXXX").string();
        if (!::mkdtemp(made.data())) std::abort();
        ::chmod(made.c_str(), 0755);
        return made;
    }();
    return dir;
}

std::string forAnyAccount(const std::string& path) {
    bool open = true;
    for (fs::path p = path; open && p != p.parent_path(); p = p.parent_path()) {
        struct stat st {};
        open = ::stat(p.c_str(), &st) == 0 && (st.st_mode & (p == path ? S_IROTH : S_IXOTH));
    }
    if (open) return path;
    const std::string& dir = sharedDirectory();
    const std::string copy = dir + "/" + fs::path(path).filename().string();
    std::error_code ec;
    if (fs::copy_file(path, copy, fs::copy_options::skip_existing, ec))
        fs::permissions(copy, fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write),
                        ec);
    return copy;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    ::chmod(path.c_str(), mode);
}

std::vector<std::string> linesOf(const std::string& text, char separator) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line, separator);) lines.push_back(line);
    return lines;
}

size_t occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

namespace {

int countEntries(const std::string& path) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(path)) ++n;
    return n;
}

}  // namespace

bool processAlive(pid_t pid) {
    const auto info = platform::processInfo(pid);
    return info && info->alive();
}

bool allGone(const std::vector<pid_t>& pids) {
    return std::none_of(pids.begin(), pids.end(), processAlive);
}

std::vector<pid_t> liveDescendants(pid_t root) {
    std::vector<pid_t> pids;
    for (const auto& p : platform::liveDescendants(root)) pids.push_back(p.pid);
    return pids;
}

std::vector<pid_t> pidsFromFile(const std::string& path) {
    std::vector<pid_t> pids;
    for (const auto& line : linesOf(readFile(path))) {
        const pid_t pid = static_cast<pid_t>(std::atoi(line.c_str()));
        if (pid > 0) pids.push_back(pid);
    }
    return pids;
}

std::vector<pid_t> waitForPids(const std::string& path, size_t count) {
    waitFor([&] { return pidsFromFile(path).size() >= count; }, 30s);
    return pidsFromFile(path);
}

void killAll(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids)
        if (pid > 1 && processAlive(pid)) ::kill(pid, SIGKILL);
}

int openDescriptorCount() {
    return countEntries("/proc/self/fd");
}
int threadCount() {
    return countEntries("/proc/self/task");
}

int baselineThreadCount() {
    // A sanitizer runtime starts a helper thread with the first thread of
    // the process; let that happen before counting.
    std::thread([] {}).join();
    return threadCount();
}

int zombieChildCount() {
    const auto all = platform::allProcesses();
    return static_cast<int>(std::count_if(
        all.begin(), all.end(), [](const auto& p) { return p.ppid == ::getpid() && !p.alive(); }));
}

Listener::Listener(int port, std::function<std::string()> reply) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr = loopback(port);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0)
        std::abort();
    thread_ = std::thread([this, reply = std::move(reply)] {
        std::vector<int> held;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            const std::string answer = reply ? reply() : "";
            if (!answer.empty()) {
                char request[4096];
                [[maybe_unused]] ssize_t r = ::recv(c, request, sizeof request, 0);
                ++requests_;
                [[maybe_unused]] ssize_t w = ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            // An HTTP answer ends its connection; anything else stays open.
            if (answer.rfind("HTTP/", 0) == 0)
                ::close(c);
            else
                held.push_back(c);
        }
        for (int c : held) ::close(c);
    });
}

Listener::~Listener() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

bool makeMountsPrivate() {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return true;
    if (errno != EINVAL) return false;
    // / is no mount point (a plain chroot): the whole tree, bound onto a
    // folder of its own, becomes the root, which is one.
    std::string root = (fs::temp_directory_path() / "kestrix-root-XXXXXX").string();
    return ::mkdtemp(root.data()) &&
           ::mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           ::mount(nullptr, root.c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::chroot(root.c_str()) == 0 && ::chdir("/") == 0;
}

void inForkedChild(const std::function<void()>& body, int namespaces) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(namespaces) != 0) ::_exit(3);
        if (namespaces & CLONE_NEWPID) {
            if (const pid_t init = ::fork(); init != 0) {
                int status = 0;
                ::waitpid(init, &status, 0);
                ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
            }
        }
        if ((namespaces & CLONE_NEWNS) &&
            (!makeMountsPrivate() ||
             ((namespaces & CLONE_NEWPID) && ::mount("proc", "/proc", "proc", 0, nullptr) != 0)))
            ::_exit(5);
        ifreq loopback{};
        std::strcpy(loopback.ifr_name, "lo");
        loopback.ifr_flags = IFF_UP;
        if ((namespaces & CLONE_NEWNET) &&
            ::ioctl(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), SIOCSIFFLAGS, &loopback) != 0)
            ::_exit(6);
        body();
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

Child::~Child() {
    if (isRunning()) {
        ::kill(pid_, SIGKILL);
        waitUntilExit();
    }
}

bool Child::isRunning() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return !status_;
}

void Child::signal(int number) {
    if (isRunning()) ::kill(pid_, number);
}

void Child::waitUntilExit() {
    for (int status = 0; !status_;)
        if (const pid_t r = ::waitpid(pid_, &status, 0); r == pid_ || (r < 0 && errno != EINTR))
            status_ = r == pid_ ? status : -1;
}

std::shared_ptr<Child> startChild(const platform::LaunchOptions& options) {
    const auto spawned = platform::spawnProcess(options);
    return spawned ? std::make_shared<Child>(spawned.pid) : nullptr;
}

std::shared_ptr<Child> startCommand(const std::vector<std::string>& command,
                                    std::vector<std::string> environment,
                                    const std::string& output) {
    platform::LaunchOptions options;
    options.executable = command.at(0);
    options.arguments.assign(command.begin() + 1, command.end());
    options.environment = std::move(environment);
    const platform::Descriptor out(
        output.empty() ? -1
                       : ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    options.outputFd = out.get();
    return startChild(options);
}

std::vector<std::string> asNobody(std::vector<std::string> command) {
    command.insert(command.begin(),
                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    return command;
}

std::vector<std::string> environmentWith(const Variables& changes) {
    auto environment = platform::currentEnvironment();
    for (const auto& [name, value] : changes)
        platform::setEnvironmentValue(environment, name, value);
    return environment;
}

Variables serviceTree(int depth, int width, int daemons, bool ignoreTerm) {
    return {{"KESTRIX_STUB_TREE_DEPTH", std::to_string(depth)},
            {"KESTRIX_STUB_TREE_WIDTH", std::to_string(width)},
            {"KESTRIX_STUB_DAEMONS", std::to_string(daemons)},
            {"KESTRIX_STUB_IGNORE_TERM", ignoreTerm ? "1" : "0"}};
}

std::function<std::string()> httpStatus(std::function<int()> status, std::string body) {
    return [status = std::move(status), body = std::move(body)] {
        return "HTTP/1.1 " + std::to_string(status()) +
               " X\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    };
}

void installScriptService(Harness& h) {
    const std::string dir = platform::deletingLastPathComponent(h.backendPath());
    fs::remove(h.backendPath());
    fs::copy_file(forAnyAccount(KESTRIX_SERVICE_PATH), dir + "/panel");
    fs::copy_file(forAnyAccount(KESTRIX_SOURCE_DIR "/tests/support/script_service.sh"),
                  h.backendPath());
}

std::vector<platform::ProcessInfo> waitForTree(pid_t pid, size_t count) {
    // No helper is still the shell or launcher that is about to run its
    // program (`env -i` would change its environment on the way).
    const auto settled = [&] {
        const auto tree = platform::liveDescendants(pid);
        return tree.size() == count && std::none_of(tree.begin(), tree.end(), [&](const auto& p) {
                   std::error_code ec;
                   const auto exe =
                       fs::read_symlink(procPath(p.pid, "exe"), ec).filename().string();
                   return p.ppid != pid &&
                          (exe == "dash" || exe == "bash" || exe == "env" || exe == "setsid");
               });
    };
    waitFor(settled, 30s);
    return platform::liveDescendants(pid);
}

bool noneLeft(const std::vector<platform::ProcessInfo>& processes) {
    return std::none_of(processes.begin(), processes.end(), [](const platform::ProcessInfo& p) {
        const auto now = platform::processInfo(p.pid);
        return now && now->alive() && now->startTime == p.startTime;
    });
}

Harness::Harness(const std::string& backend, Launcher launcher) {
    settings.panelPort = freePort();
    settings.bundlePath = dir / "KestrixV3NativeShell.app";
    settings.homeDirectory = dir / "home";
    settings.commandDirectories = {dir / "bin1", dir / "bin2"};
    settings.setsidPath = launcher == Launcher::Setsid ? kSetsidPath : dir / "no-setsid";
    settings.runtimeDirectory = dir / "run";
    settings.keeperPath = forAnyAccount(KESTRIX_KEEPER_PATH);
    for (const auto& folder : {settings.homeDirectory, dir / "bin1", dir / "bin2",
                               settings.bundlePath + "/Contents/Resources/backend"})
        fs::create_directories(folder);
    if (!backend.empty()) fs::copy_file(forAnyAccount(backend), backendPath());
    pidFile = dir / "pids";
    signalLog = dir / "signals";
    ::setenv("KESTRIX_STUB_PID_FILE", pidFile.c_str(), 1);
    ::setenv("KESTRIX_STUB_SIGNAL_LOG", signalLog.c_str(), 1);
}

void Harness::makeDelegate() {
    delegate = std::make_shared<AppDelegate>(app, settings);
    app.setDelegate(delegate.get());
}

void Harness::start() {
    app.defaults.values[kFirstRunTipKey] = true;
    makeDelegate();
    delegate->applicationDidFinishLaunching();
}

bool Harness::startShowsPanel() {
    start();
    pumpUntil([&] { return panelLoaded() || app.isTerminating(); });
    return panelLoaded() && app.modalAlerts.empty();
}

Harness::~Harness() {
    if (delegate) {
        // Stop whatever is still recorded, as quitting would, then wait until
        // no background work holds the delegate before the app goes away.
        if (!app.isTerminating()) delegate->terminateBackend();
        // An exit alert still queued must not restart anything now.
        app.modalResponder = [](const platform::AlertSpec&) { return kSecondButton; };
        std::weak_ptr<AppDelegate> weak = delegate;
        app.setDelegate(nullptr);
        delegate.reset();
        waitFor(
            [&] {
                app.drainMainQueue();
                return weak.expired();
            },
            30s);
        app.drainMainQueue();
    }
    killAll(pidsFromFile(pidFile));
}

bool Harness::pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return app.runMainQueueUntil(condition, timeout);
}

bool Harness::panelLoaded() const {
    return panelLoads() > 0;
}

int Harness::panelLoads() const {
    const auto* window = app.mainWindow();
    if (!window || !window->webView()) return 0;
    const auto& loads = window->webView()->loads();
    return static_cast<int>(std::count(loads.begin(), loads.end(), "url:" + panelURL(settings)));
}

std::string Harness::backendPath() const {
    return settings.bundlePath + "/" + settings.backendRelativePath;
}

std::string Harness::logPath() const {
    return settings.homeDirectory + "/Library/Logs/Kestrix-V3-测试版/backend.log";
}

std::vector<std::string> Harness::alertMessages() const {
    std::vector<std::string> messages;
    for (const auto& alert : app.modalAlerts) messages.push_back(alert.messageText);
    return messages;
}

ForkedProgram::ForkedProgram(Harness& h) {
    h.app.defaults.values[kFirstRunTipKey] = true;
    program = ::fork();
    if (program == 0) {
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();
        for (;;) ::pause();
    }
    waitFor(
        [&] {
            return (record = parseServiceRecord(readFile(h.dir / "run/backend.record"))).present;
        },
        10s);
    tree = waitForTree(static_cast<pid_t>(record.keeper), kScriptServiceProcesses);
}

void ForkedProgram::killWithKeeper() {
    // Stopped first, so that the keeper stops nothing when its lifeline goes.
    ::kill(static_cast<pid_t>(record.keeper), SIGSTOP);
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    ::kill(static_cast<pid_t>(record.keeper), SIGKILL);
}

bool showsPanelDespite(const ServiceRecord& record, const std::string& home) {
    Harness h;
    if (!home.empty()) h.settings.homeDirectory = home;
    h.settings.shutdownGraceSeconds = 1;
    ::mkdir((h.dir / "run").c_str(), 0700);
    writeFile(h.dir / "run/backend.record", formatServiceRecord(record));
    return h.startShowsPanel();
}

}  // namespace kestrix::test
