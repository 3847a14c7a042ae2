// The application shell and its surfaces: start order, the window and its
// page, hide and reopen, the status item and its menus, the page's dialogs,
// the first-run tip, and the order of quitting.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

using platform::kEventTypeLeftMouseUp;
using platform::kEventTypeRightMouseUp;

TEST(Lifecycle, StartsInOrderAndShowsTheStartingPage) {
    Harness h;
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    h.delegate->applicationDidFinishLaunching();

    // Window before status item, status item before the launch.
    const std::vector<std::string> expected = {
        "app.activationPolicy.regular", "window.create", "window.center", "window.title",
        "window.addWebView", "webView.loadHTML", "window.front", "app.activate",
        "statusItem.create"};
    ASSERT_GE(h.app.events.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(h.app.events.begin(), h.app.events.begin() + expected.size()),
        expected);
    const auto* window = h.app.mainWindow();
    EXPECT_EQ(window->title(), "AI Kestrix V3.1 · 本机授权版");
    EXPECT_EQ(window->spec().width, 1200);
    EXPECT_EQ(window->spec().height, 800);
    EXPECT_TRUE(window->isCentered() && window->isVisible() && window->isKey());
    const std::string page = kStartingPageHTML;
    EXPECT_EQ(page.size(), 169u);
    EXPECT_EQ(window->webView()->loads().front(), "html:" + page);
    EXPECT_EQ(window->webView()->uiDelegate(), h.delegate.get());
    EXPECT_GT(h.delegate->backendPGID, 0);
}

TEST(Lifecycle, QuitStopsTheServiceBeforeTheStatusItemGoesAndOnlyOnce) {
    Harness h;
    const int baseline = baselineThreadCount();
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    h.delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
    const auto task = h.delegate->backendTask.load();
    bool serviceRanAtRemoval = true;
    h.app.beforeStatusItemRemoved = [&] { serviceRanAtRemoval = task->isRunning(); };

    h.delegate->quitApp();
    h.delegate->quitApp();  // a second request changes nothing
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

class Ui : public ::testing::Test {
protected:
    Ui() {
        h.makeDelegate();
        h.delegate->createMainWindow();
        h.delegate->createStatusItem();
        window = h.app.mainWindow();
    }
    void click(std::optional<int> eventType) {
        h.app.currentEvent = eventType;
        h.app.statusItem()->headlessButton().action()();
    }
    Harness h{""};
    platform::headless::HeadlessWindow* window;
};

TEST_F(Ui, CloseHidesAndEveryWayBackShowsTheSameWindowAndPage) {
    const auto loadsBefore = window->webView()->loads();
    EXPECT_FALSE(window->pressCloseButton());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isClosed());
    EXPECT_FALSE(h.app.isTerminating());

    const std::vector<std::string> shown = {"window.front", "app.activate"};
    const std::vector<std::function<void()>> waysBack = {
        [&] { h.delegate->showWindow(); },
        [&] { EXPECT_TRUE(h.delegate->applicationShouldHandleReopen(false)); },
        [&] { EXPECT_TRUE(h.app.reopen()); },
        [&] { click(kEventTypeLeftMouseUp); }};
    for (const auto& wayBack : waysBack) {
        window->pressCloseButton();
        h.app.events.clear();
        wayBack();
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(h.app.events, shown);
        h.app.events.clear();
        wayBack();  // already in front: the same two calls
        EXPECT_EQ(h.app.events, shown);
    }
    EXPECT_EQ(h.app.mainWindow(), window);
    EXPECT_EQ(window->webView()->loads(), loadsBefore);  // no reload
    EXPECT_TRUE(h.app.poppedMenus.empty());

    window->pressCloseButton();
    h.app.events.clear();
    click(std::nullopt);  // no current event: nothing
    EXPECT_TRUE(h.app.events.empty());
}

TEST_F(Ui, RightClickPopsAFreshThreeRowMenuAndTheDockMenuQuits) {
    window->pressCloseButton();
    click(kEventTypeRightMouseUp);
    click(kEventTypeRightMouseUp);
    ASSERT_EQ(h.app.poppedMenus.size(), 2u);
    EXPECT_FALSE(window->isVisible());  // closing the menu without a choice changes nothing

    const auto& items = h.app.poppedMenus[0].items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].title, "打开面板");
    EXPECT_TRUE(items[1].isSeparator);
    EXPECT_EQ(items[2].title, "退出");
    for (size_t i : {0u, 2u}) {
        EXPECT_EQ(items[i].keyEquivalent, "");
        EXPECT_EQ(items[i].target, h.delegate.get());
    }
    const auto dock = h.delegate->applicationDockMenu();
    ASSERT_EQ(dock.items.size(), 1u);
    EXPECT_EQ(dock.items[0].title, "退出");
    EXPECT_EQ(dock.items[0].keyEquivalent, "");

    h.app.menuChooser = [](const platform::Menu&) { return 0; };
    click(kEventTypeRightMouseUp);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(h.app.isTerminating());
    EXPECT_EQ(h.app.poppedMenus.size(), 3u);
    dock.items[0].perform();
    EXPECT_TRUE(h.app.isTerminating());
}

const char* const kTipText =
    "「AI Kestrix」图标已放在右上角菜单栏。点窗口 X 关闭后，可从菜单栏图标随时回来。\n\n"
    "macOS Tahoe 可能把第三方图标收到后面：去「系统设置 → 控制中心 → 菜单栏」，找到Kestrix V3.1 "
    "并设为\"在菜单栏中显示\"，即可固定在最前面。";

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
            EXPECT_EQ(h.alertMessages(),
                      stored == 1 ? std::vector<std::string>{}
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
        // The tip is the last step: the service was already started.
        EXPECT_GT(h.delegate->backendPGID, 0);
        EXPECT_EQ(h.app.events.back(), "alert:菜单栏图标说明");
    }
}

}  // namespace
}  // namespace kestrix::test
