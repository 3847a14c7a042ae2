// The panel probe and the wait for the panel, against real listeners on
// loopback, and the panel's load into the window.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Probe, OnlyA200InTimeIsReady) {
    Harness h("");
    h.makeDelegate();
    EXPECT_FALSE(h.delegate->panelResponds());  // refused
    {
        std::atomic<int> status{404};
        Listener server(h.port(), httpStatus([&] { return status.load(); }));
        for (const int s : {404, 500, 204, 200}) {
            status = s;
            EXPECT_EQ(h.delegate->panelResponds(), s == 200) << s;
        }
        EXPECT_EQ(server.requestCount(), 4);
    }
    {
        // A redirect is followed, over HTTP.
        std::atomic<int> n{0};
        Listener redirecting(h.port(), [&] {
            return ++n == 1 ? std::string(
                                  "HTTP/1.1 302 Found\r\nLocation: /panel\r\n"
                                  "Content-Length: 0\r\n\r\n")
                            : httpStatus(200)();
        });
        EXPECT_TRUE(h.delegate->panelResponds());
    }
    Listener silent(h.port(), nullptr);
    const auto started = Clock::now();
    EXPECT_FALSE(h.delegate->panelResponds());
    // The probe gives up after its 2 s.
    EXPECT_GE(Clock::now() - started, 1900ms);
    EXPECT_LT(Clock::now() - started, 4s);
}

TEST(PanelWait, PollsEveryHalfSecondUntilTheDeadlineThenOnceMore) {
    Harness h("");
    h.makeDelegate();
    // 200 at first; then 404 until the deadline has passed, when the last
    // probe sees the 200.
    std::mutex mutex;
    std::vector<Clock::time_point> probes;
    Clock::time_point deadline{};
    std::atomic<bool> polling{false};
    Listener panel(h.port(), httpStatus([&] {
                       if (!polling) return 200;
                       std::lock_guard lock(mutex);
                       probes.push_back(Clock::now());
                       return Clock::now() >= deadline ? 200 : 404;
                   }));
    // A program under the keeper that holds the listening socket (as its
    // standard output) stands in for the service.
    platform::LaunchOptions sleeper;
    sleeper.executable = "/bin/sleep";
    sleeper.arguments = {"1000"};
    sleeper.outputFd = panel.descriptor();
    const auto keeper = platform::openProgram(KESTRIX_KEEPER_PATH);
    const auto task =
        platform::KeptTask::launch(keeper.get(), 1000ms, kPgrepPath, "t.scope", sleeper, {}).task;
    ASSERT_TRUE(task && waitFor([&] { return task->answered(); }, 10s));

    // No service: no probe at all.
    EXPECT_EQ(h.delegate->waitForPanel(20, nullptr), PanelWait::BackendGone);
    EXPECT_EQ(panel.requestCount(), 0);
    // Ready at once: no pause before the answer.
    h.delegate->backendTask.store(task);
    const auto started = Clock::now();
    EXPECT_EQ(h.delegate->waitForPanel(20, task), PanelWait::Ready);
    EXPECT_LT(Clock::now() - started, 400ms);

    deadline = Clock::now() + 2500ms;
    polling = true;
    EXPECT_EQ(h.delegate->waitForPanel(2.5, task), PanelWait::Ready);
    ASSERT_GE(probes.size(), 3u);
    std::vector<Clock::duration> gaps;
    for (size_t i = 1; i < probes.size(); ++i) gaps.push_back(probes[i] - probes[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 480ms);
    EXPECT_LT(gaps[gaps.size() / 2], 850ms);

    task->stop();
    EXPECT_TRUE(task->waitUntilGone(Clock::now() + 5s));
    EXPECT_EQ(h.delegate->waitForPanel(20, task), PanelWait::BackendGone);
}

TEST(PanelLoad, APanelThatNeverAnswersEndsWithTheStartFailureAlert) {
    Harness h;
    h.settings.panelWaitSeconds = 1.5;
    ::setenv("KESTRIX_STUB_STATUS", "503", 1);
    h.start();
    ASSERT_TRUE(h.pumpUntil([&] { return h.app.isTerminating(); }));
    ASSERT_EQ(h.alertMessages(), std::vector<std::string>{"Kestrix V3.1 控制面板启动失败"});
    EXPECT_EQ(
        h.app.modalAlerts[0].informativeText,
        "无法连接到 127.0.0.1:" + std::to_string(h.port()) +
            "。请检查旧的 V3 是否仍在运行，先从旧 V3 菜单正常退出，再重新打开；V2.1 无需退出。");
    EXPECT_EQ(h.app.modalAlerts[0].buttons, std::vector<std::string>{"退出"});
    EXPECT_FALSE(h.panelLoaded());
    // Termination stopped the service it had started.
    EXPECT_TRUE(waitFor([&] { return allGone(pidsFromFile(h.pidFile)); }, 10s));
}

TEST(PanelLoad, OurServiceOnAnyAddressThatReachesThePanelIsOurs) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: a network namespace, another uid";
    // Launched, the panel shown; within a short wait, which a panel never
    // proved ours would run out.
    const auto expectPanel = [](Harness& h) {
        h.settings.panelWaitSeconds = 4;
        EXPECT_TRUE(h.startShowsPanel());
    };
    inForkedChild(
        [&] {
            for (const char* address : {"0.0.0.0", "::", "::ffff:127.0.0.1"}) {
                SCOPED_TRACE(address);
                ::setenv("KESTRIX_STUB_BIND", address, 1);
                Harness h;
                expectPanel(h);
            }
        },
        CLONE_NEWNET);
    // A service whose descriptors its user cannot read, run by a user who
    // is not root.
    inForkedChild([&] {
        ::setenv("KESTRIX_STUB_UNDUMPABLE", "1", 1);
        Harness h;
        ASSERT_EQ(std::system(("chown -R 65534:65534 " + h.dir.path()).c_str()), 0);
        ASSERT_EQ(::setresgid(65534, 65534, 65534), 0);
        ASSERT_EQ(::setresuid(65534, 65534, 65534), 0);
        expectPanel(h);
    });
}

}  // namespace
}  // namespace kestrix::test
