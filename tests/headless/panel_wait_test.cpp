// Waiting for the panel and loading it, against the stand-in service and
// plain test servers.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

using Clock = std::chrono::steady_clock;

// A child that stays up until SIGTERM, standing in for a running service
// while a test server plays the panel.
std::shared_ptr<platform::Task> runningTask(Harness& h) {
    ::setenv("KESTRIX_RECORD_WAIT", "1", 1);
    ::setenv("KESTRIX_RECORD_FILE", (h.dir / "record").c_str(), 1);
    platform::LaunchOptions options;
    options.executable = KESTRIX_RECORDER_PATH;
    options.environment = platform::currentEnvironment();
    auto launched = platform::Task::launch(options, nullptr);
    EXPECT_TRUE(launched.task) << launched.error;
    return launched.task;
}

class PanelWaitTest : public ::testing::Test {
protected:
    PanelWaitTest() { h.makeDelegate(); }
    ~PanelWaitTest() override {
        if (auto task = h.delegate->backendTask.load()) {
            task->terminate();
            task->waitUntilExit();
        }
    }
    Harness h{""};
};

TEST_F(PanelWaitTest, PanelThatAnswersAtOnceIsReadyWithoutAPause) {
    h.settings.probePauseSeconds = 30;  // any pause would show
    h.makeDelegate();
    h.delegate->backendTask.store(runningTask(h));
    TestHttpServer panel(static_cast<int>(h.settings.panelPort), [] { return 200; });

    const auto started = Clock::now();
    EXPECT_EQ(h.delegate->waitForPanel(20), PanelWait::Ready);
    EXPECT_LT(Clock::now() - started, 10s);
    EXPECT_EQ(panel.requestCount(), 1);
}

TEST_F(PanelWaitTest, PanelThatAnswersOnlyAtTheLastProbeCountsAsStarted) {
    h.delegate->backendTask.store(runningTask(h));
    const auto deadline = Clock::now() + 1500ms;
    TestHttpServer panel(static_cast<int>(h.settings.panelPort),
                         [&] { return Clock::now() >= deadline ? 200 : 404; });
    EXPECT_EQ(h.delegate->waitForPanel(1.5), PanelWait::Ready);
    // 404s every 0.5 s or so until the deadline, then the last probe.
    EXPECT_GE(panel.requestCount(), 2);
    EXPECT_LE(panel.requestCount(), 6);
}

TEST_F(PanelWaitTest, NoTaskMeansNoProbe) {
    TestHttpServer panel(static_cast<int>(h.settings.panelPort), [] { return 200; });
    EXPECT_EQ(h.delegate->waitForPanel(20), PanelWait::BackendGone);
    EXPECT_EQ(panel.requestCount(), 0);
}

TEST(PanelLoad, ServicePanelReplacesTheStartingPage) {
    Harness h;
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    h.delegate->applicationDidFinishLaunching();
    // launchBackendAndLoad returned before the panel answered.
    EXPECT_FALSE(h.panelLoaded());

    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
    const auto* view = h.app.mainWindow()->webView();
    EXPECT_EQ(view->loads().size(), 2u);
    EXPECT_EQ(view->lastRequestTimeout(), 60);
    EXPECT_TRUE(h.app.modalAlerts.empty());
    EXPECT_FALSE(h.app.isTerminating());
}

TEST(PanelLoad, PanelThatNeverAnswersEndsWithTheStartFailureAlert) {
    Harness h;
    h.settings.panelWaitSeconds = 1.5;
    ::setenv("KESTRIX_STUB_STATUS", "503", 1);
    h.makeDelegate();
    h.delegate->launchBackendAndLoad();

    ASSERT_TRUE(h.pumpUntil([&] { return h.app.isTerminating(); }));
    ASSERT_EQ(h.alertMessages(), std::vector<std::string>{"Kestrix V3.1 控制面板启动失败"});
    const auto& alert = h.app.modalAlerts[0];
    EXPECT_EQ(
        alert.informativeText,
        "无法连接到 127.0.0.1:" + std::to_string(h.settings.panelPort) +
            "。请检查旧的 V3 是否仍在运行，先从旧 V3 菜单正常退出，再重新打开；V2.1 无需退出。");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"退出"});
    EXPECT_FALSE(h.panelLoaded());
    // Termination stopped the service it had started.
    EXPECT_EQ(h.delegate->backendPGID, 0);
    EXPECT_TRUE(waitFor([&] { return allGone(pidsFromFile(h.pidFile)); }, 10s));
}

}  // namespace
}  // namespace kestrix::test
