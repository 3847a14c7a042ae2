// Starting the Backend service: the checks before it, what the child gets,
// the log, the command copies and the failure alerts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

class Launch : public ::testing::Test {
protected:
    // `created`: whether the launch got as far as the command copies and the log.
    void expectNothingStarted(Harness& h, bool created = false) {
        EXPECT_TRUE(h.app.isTerminating());
        EXPECT_TRUE(liveDescendants(::getpid()).empty());
        EXPECT_EQ(fs::is_empty(h.dir / "bin1"), !created);
        EXPECT_EQ(fs::exists(h.settings.homeDirectory + "/Library"), created);
    }
};

TEST_F(Launch, AServiceThatCannotStartEndsWithItsAlert) {
    // Missing, without execute permission, not a program, (started through
    // setsid) a script whose interpreter is missing, and a keeper that never
    // answers (the launch returns at its bound).
    for (const std::string how : {"missing", "mode", "direct", "setsid", "silent"}) {
        SCOPED_TRACE(how);
        Harness h(how == "silent" ? KESTRIX_SERVICE_PATH : "",
                  how == "direct" ? Harness::Launcher::Direct : Harness::Launcher::Setsid);
        if (how == "mode" || how == "direct" || how == "setsid")
            writeFile(h.backendPath(),
                      how == "setsid" ? "#!/no/such/interpreter\n" : "not a program\n",
                      how == "mode" ? 0644 : 0755);
        if (how == "silent") h.settings.keeperPath = KESTRIX_STALLED_KEEPER_PATH;
        h.settings.keeperAnswerSeconds = 1.5;
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();

        ASSERT_EQ(h.app.modalAlerts.size(), 1u);
        const auto& alert = h.app.modalAlerts[0];
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"退出"});
        expectNothingStarted(h, how != "missing" && how != "mode");
        EXPECT_EQ(zombieChildCount(), 0);
        if (how == "missing" || how == "mode") {
            EXPECT_EQ(alert.messageText, "找不到后端程序");
            EXPECT_EQ(alert.informativeText, kMissingInfo);
        } else {
            EXPECT_EQ(alert.messageText, "后端启动失败");
            const std::string why = how == "setsid"   ? "No such file or directory"
                                    : how == "direct" ? "Exec format error"
                                                      : "kestrix-v3-keeper 在 1.5 秒内没有应答";
            EXPECT_EQ(alert.informativeText, "无法启动 " + h.backendPath() + "：" + why);
            EXPECT_EQ(h.delegate->usedSetsid, how != "direct");
        }
    }
}

TEST_F(Launch, AQuitAskedForWhileTheKeeperIsSilentIsCarriedOutAtOnce) {
    // As on the desktop, the launch's wait runs what the main loop was
    // given: a quit (the tray's, a signal's) ends it, and nothing is left.
    Harness h(KESTRIX_SERVICE_PATH);
    h.settings.keeperPath = KESTRIX_STALLED_KEEPER_PATH;
    h.settings.keeperAnswerSeconds = 30;
    h.makeDelegate();
    h.app.postToMainQueue([&] { h.app.terminate(); });
    const auto started = std::chrono::steady_clock::now();
    h.delegate->launchBackendAndLoad();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_TRUE(h.app.modalAlerts.empty());
    expectNothingStarted(h, true);
    EXPECT_EQ(zombieChildCount(), 0);
}

TEST_F(Launch, AnotherInstanceGetsTheAlreadyRunningAlertAndNothingStarts) {
    // Another start of ours, still starting, that no session bus could
    // forward us to, holds the lock.
    Harness h;
    auto other = std::make_shared<AppDelegate>(h.app, h.settings);
    ASSERT_TRUE(other->instanceGuard().holdLock());
    h.start();
    ASSERT_EQ(h.alertMessages(), std::vector<std::string>{"已有 V3.1 正在运行"});
    EXPECT_EQ(h.app.modalAlerts[0].informativeText, kRunningInfo);
    expectNothingStarted(h);
}

TEST_F(Launch, AKeeperReplacedOnDiskAfterTheStartIsNotTheOneThatRuns) {
    Harness h;
    h.settings.keeperPath = h.dir / "kestrix-v3-keeper";
    fs::copy_file(KESTRIX_KEEPER_PATH, h.settings.keeperPath);
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    // An upgrade in place: another file renamed over the one we came with.
    writeFile(h.dir / "upgraded", "#!/bin/sh\nexit 1\n", 0755);
    fs::rename(h.dir / "upgraded", h.settings.keeperPath);
    h.delegate->applicationDidFinishLaunching();
    EXPECT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
    EXPECT_TRUE(h.app.modalAlerts.empty());
}

TEST_F(Launch, OnAFullDiskTheOlderCommandCopyStaysWholeAndNothingPartialIsLeft) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a small file system of the test's own";
    inForkedChild(
        [] {
            Harness h;
            const std::string full = h.dir / "full";
            fs::create_directories(full);
            ASSERT_EQ(::mount("full", full.c_str(), "tmpfs", 0, "size=64k"), 0);
            writeFile(full + "/kestrix-v3", "#!/bin/sh\necho older\n", 0755);
            h.settings.commandDirectories = {full};
            h.makeDelegate();
            h.delegate->launchBackendAndLoad();
            EXPECT_FALSE(h.app.isTerminating());
            EXPECT_EQ(readFile(full + "/kestrix-v3"), "#!/bin/sh\necho older\n");
            EXPECT_EQ(std::distance(fs::directory_iterator(full), fs::directory_iterator()), 1);
            ::umount(full.c_str());  // so that the test's folder can go
        },
        CLONE_NEWNS);
}

// The NUL-separated entries of /proc/<pid>/<file>.
std::vector<std::string> procList(pid_t pid, const char* file) {
    return linesOf(readFile(procPath(pid, file)), '\0');
}

// One mask from /proc/<pid>/status ("SigBlk", "SigIgn").
unsigned long long signalMask(pid_t pid, const std::string& name) {
    for (const auto& line : linesOf(readFile(procPath(pid, "status"))))
        if (line.rfind(name + ":", 0) == 0)
            return std::stoull(line.substr(name.size() + 1), nullptr, 16);
    return ~0ULL;
}

TEST_F(Launch, ChildGetsItsArgumentsEnvironmentDirectoryAndOnlyItsStreams) {
    for (const auto launcher : {Harness::Launcher::Setsid, Harness::Launcher::Direct}) {
        SCOPED_TRACE(launcher == Harness::Launcher::Setsid ? "setsid" : "direct");
        Harness h(KESTRIX_SERVICE_PATH, launcher);
        ::setenv("VANTREL_DATA_DIR", "/somewhere/else", 1);
        ::setenv("KESTRIX_PASSED_ON", "yes", 1);
        const mode_t umask = ::umask(0);  // what the program creates is the user's alone
        // What a toolkit may do to its own process must not reach the child:
        // a blocked and an ignored signal, a descriptor left open on exec.
        sigset_t blocked, previous;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
        const auto previousUsr2 = ::signal(SIGUSR2, SIG_IGN);
        const int canary = ::open((h.dir / "canary").c_str(), O_WRONLY | O_CREAT, 0600);
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::signal(SIGUSR2, previousUsr2);
        ::close(canary);

        const pid_t pid = h.delegate->backendPGID;
        ASSERT_GT(pid, 0);
        // Once it answers, it no longer starts threads (which briefly blocks
        // every signal).
        ASSERT_TRUE(waitFor([&] { return h.delegate->panelResponds(); }, 10s));
        EXPECT_EQ(h.delegate->usedSetsid, launcher == Harness::Launcher::Setsid);
        // Through setsid the service leads a session and group of its own.
        EXPECT_EQ(::getsid(pid) == pid, launcher == Harness::Launcher::Setsid);
        EXPECT_EQ(procList(pid, "cmdline"),
                  (std::vector<std::string>{h.backendPath(), "--no-browser", "-dashboard-addr",
                                            "127.0.0.1:" + std::to_string(h.port())}));
        EXPECT_EQ(fs::read_symlink(procPath(pid, "cwd")),
                  h.settings.bundlePath + "/Contents/Resources/backend");
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator(procPath(pid, "fd")))
            EXPECT_NE(fs::read_symlink(fd.path(), ec), h.dir / "canary");
        ::umask(umask);
        for (const char* made : {"/Library", "/Library/Logs", "/Library/Logs/Kestrix-V3-测试版"})
            EXPECT_EQ(fs::status(h.settings.homeDirectory + made).permissions(),
                      fs::perms::owner_all);
        EXPECT_EQ(fs::status(h.logPath()).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::read_symlink(procPath(pid, "fd/1")), h.logPath());
        EXPECT_EQ(signalMask(pid, "SigBlk"), 0u);
        EXPECT_EQ(signalMask(pid, "SigIgn") & (1ULL << (SIGUSR2 - 1)), 0u);

        const auto env = procList(pid, "environ");
        EXPECT_EQ(std::count(env.begin(), env.end(),
                             "VANTREL_DATA_DIR=" + h.settings.homeDirectory + "/.vantrel-v3"),
                  1);
        EXPECT_EQ(std::count(env.begin(), env.end(), "KESTRIX_PASSED_ON=yes"), 1);
        // And the launch's mark, nothing else.
        EXPECT_EQ(std::count_if(env.begin(), env.end(),
                                [](const std::string& e) {
                                    return e.starts_with("KESTRIX_V3_LAUNCH=") && e.size() == 50;
                                }),
                  1);
        EXPECT_EQ(env.size(), platform::currentEnvironment().size() + 1);
    }
}

TEST_F(Launch, CommandCopiesAreFreshAt0755AndTheyAndTheLogNeverFollowALink) {
    Harness h;
    const std::string victim = h.dir / "victim";
    writeFile(victim, "must stay\n", 0600);
    // At the log's path a FIFO (which would block the open), then a link
    // (planted through a folder others could write): neither is used, and
    // the service keeps our streams.
    fs::create_directories(fs::path(h.logPath()).parent_path());
    ::mkfifo(h.logPath().c_str(), 0600);
    writeFile(h.dir / "bin1/kestrix-v3", "old copy\n", 0600);
    fs::create_symlink(victim, h.dir / "bin2/kestrix-v3");
    // A directory at the copy's path is not ours to replace.
    fs::create_directories(h.dir / "bin3/kestrix-v3");
    writeFile(h.dir / "bin3/kestrix-v3/kept", "kept\n");
    h.settings.commandDirectories.push_back(h.dir / "bin3");
    h.settings.commandDirectories.push_back(h.dir / "missing-dir");
    h.makeDelegate();

    const std::string packaged = readFile(h.backendPath());
    for (int launch = 0; launch < 2; ++launch) {
        h.delegate->launchBackendAndLoad();
        ASSERT_FALSE(h.app.isTerminating());
        EXPECT_NE(fs::read_symlink(procPath(h.delegate->backendPGID, "fd/1")), h.logPath());
        fs::remove(h.logPath());
        fs::create_symlink(victim, h.logPath());
        for (const char* dir : {"bin1", "bin2"}) {
            const std::string copy = h.dir / (std::string(dir) + "/kestrix-v3");
            struct stat st {};
            ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode)) << copy;
            EXPECT_EQ(st.st_mode & 07777, 0755u) << copy;
            EXPECT_EQ(readFile(copy), packaged) << copy;
        }
        EXPECT_EQ(readFile(victim), "must stay\n");
        EXPECT_EQ(readFile(h.dir / "bin3/kestrix-v3/kept"), "kept\n");
        // As before a restart: this service is gone, and its panel with it.
        h.delegate->terminateBackend();
        EXPECT_FALSE(fs::exists(h.dir / "missing-dir"));
    }
}

}  // namespace
}  // namespace kestrix::test
