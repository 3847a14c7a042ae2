// Starting the Backend service: the checks before it, what the child gets,
// the log, the command copies and the failure alerts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

namespace fs = std::filesystem;

const char* const kMissingInfo = "请确认 Contents/Resources/backend/KestrixV3 已放进 App 包内。";
const char* const kRunningInfo =
    "端口 18926 正被旧 V3 实例使用。请先在旧 V3 内正常退出，再打开当前版本。V2.1 的 8926/8927 "
    "保持不变。";

// What the recorder wrote down about one start.
struct Record {
    std::vector<std::string> args, env;
    std::vector<int> fds;
    std::string cwd, sigblk, sigign;
    pid_t pid = 0, sid = 0;
};

std::vector<Record> readRecords(const std::string& path) {
    std::vector<Record> records(1);
    for (const auto& line : linesOf(readFile(path))) {
        Record& r = records.back();
        const auto eq = line.find('=');
        const std::string key = line.substr(0, eq),
                          value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "end")
            records.emplace_back();
        else if (key == "arg")
            r.args.push_back(value);
        else if (key == "env")
            r.env.push_back(value);
        else if (key == "fd")
            r.fds.push_back(std::stoi(value));
        else if (key == "cwd")
            r.cwd = value;
        else if (key == "pid")
            r.pid = std::stoi(value);
        else if (key == "sid")
            r.sid = std::stoi(value);
        else if (key == "sigblk")
            r.sigblk = value;
        else if (key == "sigign")
            r.sigign = value;
    }
    records.pop_back();
    return records;
}

class Launch : public ::testing::Test {
protected:
    void expectNothingStarted(Harness& h) {
        EXPECT_TRUE(h.app.isTerminating());
        EXPECT_EQ(h.delegate->backendPGID, 0);
        EXPECT_FALSE(h.delegate->backendTask);
        EXPECT_TRUE(fs::is_empty(h.dir / "bin1"));
        EXPECT_TRUE(fs::is_empty(h.dir / "bin2"));
        EXPECT_FALSE(fs::exists(h.settings.homeDirectory + "/Library"));
        EXPECT_FALSE(fs::exists(h.pidFile));
    }
};

TEST_F(Launch, MissingOrNonExecutableBackendEndsWithAnAlert) {
    for (const bool present : {false, true}) {
        Harness h(present ? KESTRIX_SERVICE_PATH : "");
        if (present) ::chmod(h.backendPath().c_str(), 0644);
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();

        ASSERT_EQ(h.app.modalAlerts.size(), 1u);
        EXPECT_EQ(h.app.modalAlerts[0].messageText, "找不到后端程序");
        EXPECT_EQ(h.app.modalAlerts[0].informativeText, kMissingInfo);
        EXPECT_EQ(h.app.modalAlerts[0].buttons, std::vector<std::string>{"退出"});
        expectNothingStarted(h);
    }
}

TEST_F(Launch, AnotherInstanceGetsTheAlreadyRunningAlertAndNothingStarts) {
    for (const bool lockHeld : {false, true}) {
        Harness h;
        std::unique_ptr<TestHttpServer> older;
        // An older instance whose panel answers; or another start of ours,
        // still starting, that no session bus could forward us to.
        auto other = std::make_shared<AppDelegate>(h.app, h.settings);
        if (lockHeld)
            ASSERT_TRUE(other->holdInstanceLock());
        else
            older = std::make_unique<TestHttpServer>(static_cast<int>(h.settings.panelPort),
                                                     [] { return 200; });
        h.makeDelegate();
        h.delegate->applicationDidFinishLaunching();

        ASSERT_EQ(h.alertMessages(), std::vector<std::string>{"已有 V3.1 正在运行"});
        EXPECT_EQ(h.app.modalAlerts[0].informativeText, kRunningInfo);
        expectNothingStarted(h);
        if (older) {
            EXPECT_EQ(older->requestCount(), 1);  // the older instance is left alone
        }
    }
}

TEST_F(Launch, ChildGetsItsArgumentsEnvironmentDirectoryAndOnlyItsStreams) {
    for (const auto launcher : {Harness::Launcher::Setsid, Harness::Launcher::Direct}) {
        Harness h(KESTRIX_RECORDER_PATH, launcher);
        const std::string recordFile = h.dir / "record";
        ::setenv("KESTRIX_RECORD_FILE", recordFile.c_str(), 1);
        ::setenv("VANTREL_DATA_DIR", "/somewhere/else", 1);
        ::setenv("KESTRIX_PASSED_ON", "yes", 1);
        // What a toolkit may do to its own process must not reach the child.
        sigset_t blocked, previous;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        const auto previousUsr2 = ::signal(SIGUSR2, SIG_IGN);
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::signal(SIGUSR2, previousUsr2);

        ASSERT_FALSE(h.app.isTerminating());
        const auto task = h.delegate->backendTask.load();
        ASSERT_TRUE(task);
        task->waitUntilExit();
        const auto records = readRecords(recordFile);
        ASSERT_EQ(records.size(), 1u);
        const Record& r = records[0];

        EXPECT_EQ(h.delegate->usedSetsid, launcher == Harness::Launcher::Setsid);
        EXPECT_EQ(h.delegate->backendPGID, r.pid);
        EXPECT_EQ(task->processIdentifier(), r.pid);
        // Through setsid the service leads a session and group of its own.
        EXPECT_EQ(r.sid == r.pid, launcher == Harness::Launcher::Setsid);

        const std::vector<std::string> args = {h.backendPath(), "--no-browser", "-dashboard-addr",
                                               "127.0.0.1:" + std::to_string(h.settings.panelPort)};
        EXPECT_EQ(r.args, args);
        EXPECT_EQ(r.cwd, h.settings.bundlePath + "/Contents/Resources/backend");
        EXPECT_EQ(r.fds, (std::vector<int>{0, 1, 2}));
        EXPECT_EQ(r.sigblk, "0");
        // glibc's posix_spawn leaves its own two internal signals (32, 33)
        // ignored in the child; every other signal is at its default.
        EXPECT_EQ(std::stoull(r.sigign, nullptr, 16) & ~0x180000000ULL, 0u) << r.sigign;

        const std::string dataDir = "VANTREL_DATA_DIR=" + h.settings.homeDirectory + "/.vantrel-v3";
        EXPECT_EQ(std::count(r.env.begin(), r.env.end(), dataDir), 1);
        EXPECT_EQ(std::count_if(
                      r.env.begin(), r.env.end(),
                      [](const std::string& e) { return e.rfind("VANTREL_DATA_DIR=", 0) == 0; }),
                  1);
        EXPECT_EQ(std::count(r.env.begin(), r.env.end(), "KESTRIX_PASSED_ON=yes"), 1);
        EXPECT_EQ(r.env.size(), platform::currentEnvironment().size());
        EXPECT_FALSE(
            fs::exists(h.settings.homeDirectory + "/.vantrel-v3"));  // the service makes it
    }
}

TEST_F(Launch, LogIsKeptAndAppendedWithBothStreams) {
    Harness h(KESTRIX_RECORDER_PATH);
    fs::create_directories(fs::path(h.logPath()).parent_path());
    writeFile(h.logPath(), "earlier line\n");
    h.makeDelegate();

    std::vector<pid_t> pids;
    for (int i = 0; i < 2; ++i) {
        h.delegate->launchBackendAndLoad();
        auto task = h.delegate->backendTask.load();
        ASSERT_TRUE(task);
        task->waitUntilExit();
        pids.push_back(task->processIdentifier());
        h.delegate->backendTask.store(nullptr);
    }
    std::string expected = "earlier line\n";
    for (const pid_t pid : pids)
        for (const char* stream : {"stdout", "stderr"})
            expected += "recorder " + std::string(stream) + " " + std::to_string(pid) + "\n";
    EXPECT_EQ(readFile(h.logPath()), expected);
}

TEST_F(Launch, LogThatCannotBeOpenedLeavesTheChildOurStreams) {
    Harness h(KESTRIX_RECORDER_PATH);
    fs::create_directories(h.logPath());  // a directory where the file should be
    const std::string captured = h.dir / "captured";
    const int capture = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int savedOut = ::dup(1), savedErr = ::dup(2);
    ::dup2(capture, 1);
    ::dup2(capture, 2);
    h.makeDelegate();
    h.delegate->launchBackendAndLoad();
    auto task = h.delegate->backendTask.load();
    if (task) task->waitUntilExit();
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    ::close(capture);

    ASSERT_TRUE(task);
    const std::string pid = std::to_string(task->processIdentifier());
    EXPECT_EQ(readFile(captured), "recorder stdout " + pid + "\nrecorder stderr " + pid + "\n");
}

TEST_F(Launch, CommandCopiesAreFreshAt0755AndNeverFollowALink) {
    Harness h(KESTRIX_RECORDER_PATH);
    const std::string victim = h.dir / "victim";
    writeFile(victim, "must stay\n", 0600);
    writeFile(h.dir / "bin1/kestrix-v3", "old copy\n", 0600);
    fs::create_symlink(victim, h.dir / "bin2/kestrix-v3");
    h.settings.commandDirectories.push_back(h.dir / "missing-dir");
    ::setenv("KESTRIX_RECORD_FILE", (h.dir / "record").c_str(), 1);
    h.makeDelegate();

    const std::string packaged = readFile(h.backendPath());
    for (int launch = 0; launch < 2; ++launch) {
        h.delegate->launchBackendAndLoad();
        ASSERT_FALSE(h.app.isTerminating());
        for (const char* dir : {"bin1", "bin2"}) {
            const std::string copy = h.dir / (std::string(dir) + "/kestrix-v3");
            struct stat st {};
            ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode)) << copy;
            EXPECT_EQ(st.st_mode & 07777, 0755u) << copy;
            EXPECT_EQ(readFile(copy), packaged) << copy;
        }
        EXPECT_EQ(readFile(victim), "must stay\n");
        EXPECT_FALSE(fs::exists(h.dir / "missing-dir"));
        h.delegate->backendTask.load()->waitUntilExit();
        h.delegate->backendTask.store(nullptr);
    }
}

TEST_F(Launch, LaunchErrorShowsItsDescriptionAndEnds) {
    for (const auto launcher : {Harness::Launcher::Direct, Harness::Launcher::Setsid}) {
        Harness h("", launcher);
        // Executable bit set, but not a program.
        writeFile(h.backendPath(), "this is not a program\n", 0755);
        if (launcher == Harness::Launcher::Setsid) {
            // A launcher that cannot start either: usedSetsid is decided before the launch.
            h.settings.setsidPath = h.dir / "broken-setsid";
            writeFile(h.settings.setsidPath, "neither is this\n", 0755);
        }
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();

        ASSERT_EQ(h.alertMessages(), std::vector<std::string>{"后端启动失败"});
        EXPECT_NE(h.app.modalAlerts[0].informativeText.find("Exec format error"), std::string::npos)
            << h.app.modalAlerts[0].informativeText;
        EXPECT_TRUE(h.app.isTerminating());
        EXPECT_FALSE(h.delegate->backendTask);
        EXPECT_EQ(h.delegate->backendPGID, 0);
        EXPECT_EQ(h.delegate->usedSetsid, launcher == Harness::Launcher::Setsid);
    }
}

}  // namespace
}  // namespace kestrix::test
