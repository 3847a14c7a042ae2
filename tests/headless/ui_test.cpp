// The application shell: the start order, the order of quitting, and the
// first-run tip.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

TEST(Lifecycle, StartsInOrderWindowAndStartingPageThenTrayThenServiceThenTip) {
    Harness h;
    h.makeDelegate();
    // What the user sees when the tray icon appears, and the service then.
    bool windowFirst = false, serviceBeforeTrayIcon = true, serviceBeforeTip = false;
    h.app.onStatusItemCreated = [&] {
        const auto* window = h.app.mainWindow();
        windowFirst = window && window->isVisible() && window->isKey() && window->isCentered() &&
                      window->webView()->loads() ==
                          std::vector<std::string>{std::string("html:") + text::kStartingPageHTML};
        serviceBeforeTrayIcon = !liveDescendants(::getpid()).empty();
    };
    h.app.modalResponder = [&](const platform::AlertSpec&) {
        serviceBeforeTip = !liveDescendants(::getpid()).empty();
        return platform::kAlertFirstButtonReturn;
    };
    h.delegate->applicationDidFinishLaunching();
    EXPECT_TRUE(windowFirst);
    EXPECT_FALSE(serviceBeforeTrayIcon);
    EXPECT_TRUE(serviceBeforeTip);
    EXPECT_EQ(h.alertMessages(), std::vector<std::string>{"菜单栏图标说明"});
}

TEST(Lifecycle, TheTrayBringsBackAClosedWindowAndItsQuitStopsTheServiceFirstAndOnce) {
    Harness h;
    const int baseline = baselineThreadCount();
    ASSERT_TRUE(h.startShowsPanel());
    auto& window = *h.app.mainWindow();
    window.clickClose();
    EXPECT_FALSE(window.isVisible());
    h.app.statusItem()->click(platform::kEventTypeLeftMouseUp);
    EXPECT_TRUE(window.isVisible() && window.isKey());

    const auto service = liveDescendants(::getpid());
    bool serviceRanAtRemoval = true;
    h.app.beforeStatusItemRemoved = [&] { serviceRanAtRemoval = !allGone(service); };
    h.app.menuChoice = "退出";
    h.app.statusItem()->click(platform::kEventTypeRightMouseUp);
    EXPECT_EQ(h.app.poppedMenus, std::vector<std::vector<std::string>>({{"打开面板", "", "退出"}}));
    EXPECT_TRUE(h.app.isTerminating());
    EXPECT_EQ(h.app.willTerminateCount, 1);
    EXPECT_EQ(h.app.statusItem(), nullptr);
    EXPECT_FALSE(serviceRanAtRemoval);
    // The exit that the quit caused is met in silence: once its watcher
    // thread has ended, nothing was queued.
    ASSERT_TRUE(waitFor([&] { return threadCount() <= baseline; }, 10s));
    h.app.drainMainQueue();
    EXPECT_TRUE(h.app.modalAlerts.empty());
}

const char* const kTipText =
    "「AI Kestrix」图标已放在右上角菜单栏。点窗口 X 关闭后，可从菜单栏图标随时回来。\n\n"
    "macOS Tahoe 可能把第三方图标收到后面：去「系统设置 → 控制中心 → 菜单栏」，找到Kestrix V3.1 "
    "并设为\"在菜单栏中显示\"，即可固定在最前面。";

TEST(Lifecycle, AWebProcessThatDiesGetsWhatWasShownAgainThreeTimesAMinuteThenASheet) {
    Harness h;
    h.start();
    auto& window = *h.app.mainWindow();
    const auto& loads = window.webView()->loads();
    const std::string starting = std::string("html:") + text::kStartingPageHTML;
    window.webView()->endWebProcess();  // while the service starts
    EXPECT_EQ(loads.back(), starting);
    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
    for (int i = 0; i < 2; ++i) window.webView()->endWebProcess();
    const std::string panel = "url:" + panelURL(h.settings);
    ASSERT_EQ(loads.size(), 5u);
    EXPECT_EQ(std::count(loads.begin(), loads.end(), panel), 3);
    // Past three a minute: a sheet, and nothing loaded until it is answered.
    window.holdSheets = true;
    for (int i = 0; i < 10; ++i) window.webView()->endWebProcess();
    EXPECT_EQ(loads.size(), 5u);
    ASSERT_EQ(window.heldSheets.size(), 1u);
    EXPECT_EQ(window.sheets.back().messageText, "控制面板页面无法显示");
    EXPECT_EQ(window.sheets.back().buttons, std::vector<std::string>{"重新加载"});
    window.heldSheets[0](platform::kAlertFirstButtonReturn);
    EXPECT_EQ(loads.back(), panel);
    // The page's confirm(), dismissed with Escape: 取消.
    bool confirmed = true;
    window.webView()->pageConfirm("要继续吗？", [&](bool yes) { confirmed = yes; });
    ASSERT_TRUE(window.pressEscapeOnSheet(1));
    EXPECT_FALSE(confirmed);
    // Our service gone: the gate is closed before its exit alert, and what
    // comes back is the starting page, never the address. The sheet again,
    // and the alert's 重新启动: the starting page, then the panel, and the
    // sheet, whose cause is gone, goes unanswered.
    EXPECT_TRUE(window.webView()->gateOpen());
    h.app.modalResponder = [&](const platform::AlertSpec&) {
        EXPECT_FALSE(window.webView()->gateOpen());
        window.webView()->endWebProcess();
        EXPECT_EQ(loads.back(), starting);
        for (int i = 0; i < 10; ++i) window.webView()->endWebProcess();
        return platform::kAlertFirstButtonReturn;
    };
    ::kill(h.delegate->backendPGID, SIGKILL);
    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoads() == 5; }));
    EXPECT_EQ(std::count(loads.begin(), loads.end(), starting), 6);
    EXPECT_EQ(window.sheets.size(), 3u);
    EXPECT_EQ(window.dismissed, 1u);
    EXPECT_TRUE(window.webView()->gateOpen());
}

TEST(FirstRunTip, ShownAfterTheLaunchUntilAnswered) {
    // Never seen, seen (NO), seen (YES), and a launch that ended the application.
    for (const int stored : {-1, 0, 1, 2}) {
        Harness h(stored == 2 ? "" : KESTRIX_SERVICE_PATH);
        if (stored == 0 || stored == 1) h.app.defaults.values[kFirstRunTipKey] = stored == 1;
        bool flagWhileShown = true;
        h.app.modalResponder = [&](const platform::AlertSpec&) {
            flagWhileShown = h.app.defaults.boolForKey(kFirstRunTipKey);
            return platform::kAlertFirstButtonReturn;
        };
        h.makeDelegate();
        h.delegate->applicationDidFinishLaunching();
        if (stored >= 1) {
            EXPECT_EQ(h.alertMessages(), stored == 1 ? std::vector<std::string>{}
                                                     : std::vector<std::string>{"找不到后端程序"});
            EXPECT_EQ(h.app.defaults.values.count(kFirstRunTipKey), stored == 1 ? 1u : 0u);
            continue;
        }
        ASSERT_EQ(h.app.modalAlerts.size(), 1u);
        const auto& tip = h.app.modalAlerts[0];
        EXPECT_EQ(tip.messageText, "菜单栏图标说明");
        EXPECT_EQ(tip.informativeText, kTipText);
        EXPECT_EQ(tip.buttons, std::vector<std::string>{"知道了"});
        EXPECT_FALSE(flagWhileShown);
        EXPECT_TRUE(h.app.defaults.boolForKey(kFirstRunTipKey));
    }
}

}  // namespace
}  // namespace kestrix::test
