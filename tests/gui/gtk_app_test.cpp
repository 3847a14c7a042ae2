// The real program, started as a user starts it, under Xvfb and a private
// session bus. It runs with the fixed settings, so these tests need the
// panel port free, and they run in a mount namespace where /usr/local/bin is
// a scratch tmpfs, so that its command copy lands nowhere real.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "gui/fake_watcher.h"
#include "gui/gui_support.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

namespace fs = std::filesystem;

class RealApp : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "home");
        // The tip has been seen, so that nothing modal stands in the way.
        fs::create_directories(dir / "config/io.kestrix.V3NativeShell");
        writeFile(dir / "config/io.kestrix.V3NativeShell/user-defaults.ini",
                  "[defaults]\nkestrix.v3.native.didShowMenuBarTip=true\n");
        ASSERT_TRUE(portIsFree(static_cast<int>(kPanelPort)))
            << "something already listens on 127.0.0.1:" << kPanelPort
            << "; these tests need it free";
    }

    void TearDown() override {
        for (pid_t pid : started)
            if (processAlive(pid)) ::kill(pid, SIGKILL);
        killAll(pidsFromFile(dir / "pids"));
    }

    pid_t start(std::vector<std::pair<std::string, std::string>> extra = {}) {
        platform::LaunchOptions options;
        options.executable = "/usr/bin/unshare";
        options.arguments = {"--mount",
                             "--",
                             "/bin/sh",
                             "-c",
                             "mount -t tmpfs scratch /usr/local/bin && exec \"$0\"",
                             KESTRIX_APP_PATH};
        options.environment = platform::currentEnvironment();
        platform::setEnvironmentValue(options.environment, "HOME", dir / "home");
        platform::setEnvironmentValue(options.environment, "XDG_CONFIG_HOME", dir / "config");
        platform::setEnvironmentValue(options.environment, "KESTRIX_STUB_PID_FILE", dir / "pids");
        for (const auto& [name, value] : extra)
            platform::setEnvironmentValue(options.environment, name, value);
        auto spawned = platform::spawnProcess(options);
        EXPECT_TRUE(spawned) << spawned.error;
        started.push_back(spawned.pid);
        return spawned.pid;
    }

    std::string log() const {
        return readFile(dir / "home/Library/Logs/Kestrix-V3-测试版/backend.log");
    }
    bool panelRendered() const { return log().find("panel rendered") != std::string::npos; }

    static std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds timeout) {
        std::optional<int> status;
        waitFor(
            [&] {
                int s = 0;
                if (::waitpid(pid, &s, WNOHANG) == pid) status = s;
                return status.has_value();
            },
            timeout);
        return status;
    }

    TempDir dir;
    std::vector<pid_t> started;
};

TEST_F(RealApp, ShowsThePanelAndSigtermQuitsWithNothingLeftBehind) {
    // A service whose children ignore SIGTERM and outlive it unless the
    // shell kills its whole group.
    const pid_t app = start({{"KESTRIX_STUB_IGNORE_TERM", "1"},
                             {"KESTRIX_STUB_TREE_DEPTH", "2"},
                             {"KESTRIX_STUB_TREE_WIDTH", "2"}});
    ASSERT_TRUE(waitFor([&] { return panelRendered(); }, 60s)) << log();
    const auto service = waitForPids(dir / "pids", 7);
    ASSERT_EQ(service.size(), 7u);
    // Everything the application started: the service's tree and the web
    // engine's helper processes.
    const auto everything = liveDescendants(app);
    EXPECT_GE(everything.size(), service.size() + 2);

    ::kill(app, SIGTERM);
    const auto status = waitExit(app, 30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(waitFor([&] { return allGone(everything); }, 10s));
}

TEST_F(RealApp, SecondStartIsForwardedToTheFirstAndExits) {
    const pid_t first = start();
    ASSERT_TRUE(waitFor([&] { return panelRendered(); }, 60s)) << log();

    const pid_t second = start();
    const auto status = waitExit(second, 30s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(processAlive(first));
    EXPECT_EQ(pidsFromFile(dir / "pids").size(), 1u);  // no second service

    ::kill(first, SIGTERM);
    const auto firstStatus = waitExit(first, 30s);
    ASSERT_TRUE(firstStatus);
    EXPECT_EQ(WEXITSTATUS(*firstStatus), 0);
}

TEST_F(RealApp, QuitFromTheTrayMenuStopsEverythingAndLeavesTheTray) {
    FakeWatcher watcher;
    ASSERT_TRUE(iterateUntil([&] { return watcher.owned; }, 10s));
    // A service that ignores SIGTERM, with children: the whole group goes.
    const pid_t app = start({{"KESTRIX_STUB_IGNORE_TERM", "1"},
                             {"KESTRIX_STUB_TREE_DEPTH", "1"},
                             {"KESTRIX_STUB_TREE_WIDTH", "3"}});
    ASSERT_TRUE(iterateUntil([&] { return panelRendered() && !watcher.registered.empty(); }, 60s))
        << log();
    const std::string item = watcher.registered.front();
    EXPECT_EQ(item, "org.kde.StatusNotifierItem-" + std::to_string(app) + "-1");
    const auto everything = liveDescendants(app);

    // The exported menu's "退出" row, as a panel would click it.
    int quitId = -1;
    for (const auto& [id, label] : watcher.exportedMenu(item))
        if (label == "退出") quitId = id;
    ASSERT_GE(quitId, 0);
    watcher.clickExported(item, quitId);

    const auto status = waitExit(app, 30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_FALSE(watcher.nameHasOwner(item));
    EXPECT_TRUE(waitFor([&] { return allGone(everything); }, 10s));
}

TEST_F(RealApp, TheExportedQuitActionQuits) {
    const pid_t app = start();
    ASSERT_TRUE(waitFor([&] { return panelRendered(); }, 60s)) << log();
    const auto service = pidsFromFile(dir / "pids");

    platform::LaunchOptions options;
    options.executable = "/usr/bin/gapplication";
    options.arguments = {"action", "io.kestrix.V3NativeShell", "quit"};
    options.environment = platform::currentEnvironment();
    const auto launcher = platform::spawnProcess(options);
    ASSERT_TRUE(launcher) << launcher.error;
    waitExit(launcher.pid, 30s);

    const auto status = waitExit(app, 30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_TRUE(waitFor([&] { return allGone(service); }, 10s));
}

}  // namespace
}  // namespace kestrix::test
