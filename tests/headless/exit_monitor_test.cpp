// An unexpected exit of the Backend service: reported once, with a restart
// that brings the panel back; the exit that quitting causes stays silent.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ports.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

namespace fs = std::filesystem;
const std::string kExitAlert = "后端服务意外退出";

// A backend whose first `failures` starts run `failing` (by default: exit
// with status 1 at once), and whose later starts run the stand-in service.
void installFlakyBackend(Harness& h, int failures, const std::string& failing = "exit 1") {
    const std::string starts = "'" + h.dir / "starts" + "'";
    writeFile(h.backendPath(),
              "#!/bin/sh\nn=$(($(cat " + starts + " 2>/dev/null || echo 0) + 1))\necho $n > " +
                  starts + "\necho \"start $n\"\nif [ $n -le " + std::to_string(failures) +
                  " ]; then " + failing + "; fi\nexec '" KESTRIX_SERVICE_PATH "' \"$@\"\n",
              0755);
}

class ExitMonitor : public ::testing::Test {
protected:
    // Answers the exit alert with `answers` in turn, every other alert with its first button.
    static void answerExitAlerts(Harness& h, std::vector<long> answers) {
        auto queue = std::make_shared<std::vector<long>>(std::move(answers));
        h.app.modalResponder = [queue](const platform::AlertSpec& alert) {
            if (alert.messageText != kExitAlert || queue->empty())
                return platform::kAlertFirstButtonReturn;
            const long answer = queue->front();
            queue->erase(queue->begin());
            return answer;
        };
    }
};

TEST_F(ExitMonitor, ARestartIsNeverUndoneByTheWaitOfTheLaunchBeforeIt) {
    Harness h;
    // The first service takes connections and never answers; the restarted
    // one listens only after 6 s, within the wait's 20 s.
    installFlakyBackend(h, 1, "export KESTRIX_STUB_HANG=1 KESTRIX_STUB_LISTEN_DELAY_MS=0");
    ::setenv("KESTRIX_STUB_LISTEN_DELAY_MS", "6000", 1);
    answerExitAlerts(h, {platform::kAlertFirstButtonReturn});
    const int baseline = baselineThreadCount();
    h.start();
    // The first wait is probing the silent service when it is killed.
    ASSERT_TRUE(waitFor(
        [&] { return readFile(h.logPath()).find("never answering") != std::string::npos; }, 10s));
    ::kill(h.delegate->backendPGID, SIGKILL);

    // Both waits over: the first wait's thread and the first service's
    // watcher have ended; the restarted service's watcher remains.
    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded() && threadCount() <= baseline + 1; }));
    h.app.drainMainQueue();
    EXPECT_EQ(h.panelLoads(), 1);
    EXPECT_EQ(h.alertMessages(), std::vector<std::string>{kExitAlert});
    EXPECT_FALSE(h.app.isTerminating());
}

TEST_F(ExitMonitor, AnEndOfEitherKindBringsOneAlertOnceNothingOfTheServiceIsLeft) {
    // A service as users ship them (a script; helpers that run other
    // programs, ignore SIGTERM, leave its session, make themselves
    // non-dumpable or scrub their environment): first its keeper is killed
    // (the alert's restart), then its panel, and so the script, ends by
    // itself with status 0 (the alert's quit). (A kill from outside:
    // ARestartIsNeverUndone...; the port held by another program:
    // AnotherAccountsProgram....)
    Harness h;
    installScriptService(h);
    fs::create_directories(fs::path(h.logPath()).parent_path());
    writeFile(h.logPath(), "earlier line\n");
    h.settings.shutdownGraceSeconds = 1;
    std::vector<platform::ProcessInfo> tree;
    bool leftNothing = false;
    h.app.modalResponder = [&](const platform::AlertSpec&) {
        leftNothing = noneLeft(tree);
        ::setenv("KESTRIX_STUB_EXIT_AFTER_MS", "1500", 1);
        return h.app.modalAlerts.size() == 1 ? platform::kAlertFirstButtonReturn : kSecondButton;
    };
    h.start();
    for (size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoads() == static_cast<int>(round); }));
        tree = waitForTree(h.keeper(), kScriptServiceProcesses);
        ASSERT_EQ(tree.size(), kScriptServiceProcesses);
        const auto ended = std::chrono::steady_clock::now();
        if (round == 1) ::kill(h.keeper(), SIGKILL);
        ASSERT_TRUE(h.pumpUntil([&] { return h.app.modalAlerts.size() == round; }, 10s));
        EXPECT_TRUE(leftNothing);
        // Within the grace and a second, with room for a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - ended, round == 1 ? 3s : 5s);
        EXPECT_EQ(h.app.modalAlerts.back().informativeText, "控制面板后端已停止，隧道可能已断开。");
        EXPECT_EQ(h.app.modalAlerts.back().buttons, (std::vector<std::string>{"重新启动", "退出"}));
    }
    ASSERT_TRUE(h.pumpUntil([&] { return h.app.isTerminating(); }));
    EXPECT_EQ(h.alertMessages(), (std::vector<std::string>{kExitAlert, kExitAlert}));
    EXPECT_EQ(zombieChildCount(), 0);
    // The restart ran the same program again; the log keeps what it had.
    const std::string log = readFile(h.logPath());
    EXPECT_EQ(log.rfind("earlier line\n", 0), 0u);
    EXPECT_NE(
        log.find("[KestrixV3 " + std::to_string(pidsFromFile(h.pidFile).back()) + "] starting"),
        std::string::npos);
    // The next start, on the same port, is not locked out.
    ::unsetenv("KESTRIX_STUB_EXIT_AFTER_MS");
    Harness next;
    next.settings.panelPort = h.settings.panelPort;
    EXPECT_TRUE(next.startShowsPanel());
}

TEST_F(ExitMonitor, QuittingAfterTheServiceDiedNeverSignalsAProcessThatTookItsId) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a pid namespace of the test's own";
    inForkedChild(
        [] {
            Harness h;
            ::setenv("KESTRIX_STUB_EXIT_AFTER_MS", "1000", 1);
            std::shared_ptr<Child> other;
            pid_t reaped = 0;
            h.app.modalResponder = [&](const platform::AlertSpec&) {
                // While the alert is up, another program of the user, leading a
                // group of its own, gets the reaped service's id.
                reaped = h.delegate->backendPGID;
                for (int tries = 0; tries < 5 && (!other || other->processIdentifier() != reaped);
                     ++tries) {
                    writeFile("/proc/sys/kernel/ns_last_pid", std::to_string(reaped - 1));
                    other = startCommand({kSetsidPath, "/bin/sleep", "1000"});
                }
                return kSecondButton;
            };
            h.start();
            h.pumpUntil([&] { return h.app.isTerminating(); });
            EXPECT_EQ(h.alertMessages(), std::vector<std::string>{kExitAlert});
            ASSERT_TRUE(other && other->processIdentifier() == reaped);
            EXPECT_TRUE(other->isRunning());
        },
        CLONE_NEWPID | CLONE_NEWNS);
}

TEST_F(ExitMonitor, AnotherAccountsProgramOnThePortNeverGetsItsPageIntoTheWindow) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a network namespace and other uids";
    // Its listener of each shape that a connection to the panel reaches;
    // our program an ordinary user's, whose service made itself
    // non-dumpable (its descriptors hidden from that user).
    inForkedChild(
        [] {
            for (const char* address : {"127.0.0.1", "0.0.0.0", "::", "::ffff:127.0.0.1"}) {
                SCOPED_TRACE(address);
                // Nobody's program answers 503 at first, 200 after; our service
                // tries to listen only once it answers 200, and fails.
                const std::string port = std::to_string(freePort());
                auto other =
                    startCommand(asNobody({forAnyAccount(KESTRIX_SERVICE_PATH), "--no-browser",
                                           "-dashboard-addr", "127.0.0.1:" + port}),
                                 {"KESTRIX_STUB_STATUS=503", "KESTRIX_STUB_STATUS_FOR_MS=500",
                                  std::string("KESTRIX_STUB_BIND=") + address});
                forAnyAccount(KESTRIX_KEEPER_PATH);  // for our program below
                ASSERT_TRUE(waitFor(
                    [&] { return platform::addressInUse(kPanelHost, std::stol(port)); }, 10s));
                inForkedChild([&] {
                    ASSERT_TRUE(::setresgid(4243, 4243, 4243) == 0 &&
                                ::setresuid(4243, 4243, 4243) == 0);
                    ::setenv("KESTRIX_STUB_UNDUMPABLE", "1", 1);
                    ::setenv("KESTRIX_STUB_LISTEN_DELAY_MS", "2500", 1);
                    Harness h;
                    h.settings.panelPort = std::stol(port);
                    answerExitAlerts(h, {kSecondButton});
                    h.start();
                    h.pumpUntil([&] { return h.app.isTerminating(); });
                    EXPECT_FALSE(h.panelLoaded());
                    EXPECT_EQ(h.alertMessages(), std::vector<std::string>{kExitAlert});
                    EXPECT_EQ(h.app.modalAlerts.at(0).informativeText,
                              "控制面板后端已停止，隧道可能已断开。\n\n端口 " + port +
                                  " 正被另一个程序占用，后端无法在 127.0.0.1:" + port +
                                  " 上监听。请先关闭占用端口 " + port + " 的程序，再重新启动。");
                });
            }
        },
        CLONE_NEWNET);
}

TEST_F(ExitMonitor, TwentyCrashesAndRestartsLeakNothing) {
    Harness h;
    installFlakyBackend(h, 1000);
    h.settings.commandDirectories.clear();
    auto answered = std::make_shared<int>(0);
    h.app.modalResponder = [answered](const platform::AlertSpec&) {
        return ++*answered <= 20 ? platform::kAlertFirstButtonReturn : kSecondButton;
    };
    // Warm up once so that one-time allocations (the HTTP library, thread
    // pools) are in the baseline.
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    h.delegate->createMainWindow();
    ASSERT_TRUE(h.delegate->instanceGuard().holdLock());
    const int fds = openDescriptorCount();
    const int threads = baselineThreadCount();

    h.delegate->launchBackendAndLoad();
    ASSERT_TRUE(h.pumpUntil([&] { return h.app.isTerminating(); }, 120s));
    EXPECT_EQ(*answered, 21);
    EXPECT_EQ(readFile(h.dir / "starts"), "21\n");
    // What the waits still post holds their tasks, and so their keepers.
    EXPECT_TRUE(h.pumpUntil([&] { return threadCount() <= threads; }, 20s)) << threadCount();
    EXPECT_LE(openDescriptorCount(), fds);
    EXPECT_EQ(zombieChildCount(), 0);
}

}  // namespace
}  // namespace kestrix::test
