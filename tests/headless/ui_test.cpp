// The status item and its menus, the page's dialogs and the first-run tip.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

using platform::kEventTypeLeftMouseUp;
using platform::kEventTypeRightMouseUp;

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

TEST_F(Ui, LeftClickShowsAndActivatesTheWindowWhateverItShowed) {
    window->pressCloseButton();
    h.app.events.clear();
    click(kEventTypeLeftMouseUp);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(h.app.events, (std::vector<std::string>{"window.front", "app.activate"}));

    h.app.events.clear();
    click(kEventTypeLeftMouseUp);  // already in front: the same two calls
    EXPECT_EQ(h.app.events, (std::vector<std::string>{"window.front", "app.activate"}));
    EXPECT_TRUE(h.app.poppedMenus.empty());
}

TEST_F(Ui, RightClickPopsAFreshThreeRowMenuAimedAtTheDelegate) {
    window->pressCloseButton();
    click(kEventTypeRightMouseUp);
    click(kEventTypeRightMouseUp);
    ASSERT_EQ(h.app.poppedMenus.size(), 2u);
    EXPECT_FALSE(window->isVisible());  // closing the menu without a choice changes nothing

    const auto& items = h.app.poppedMenus[0].items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].title, "打开面板");
    EXPECT_EQ(items[0].actionName, "showWindow");
    EXPECT_TRUE(items[1].isSeparator);
    EXPECT_EQ(items[2].title, "退出");
    EXPECT_EQ(items[2].actionName, "quitApp");
    for (size_t i : {0u, 2u}) {
        EXPECT_EQ(items[i].keyEquivalent, "");
        EXPECT_EQ(items[i].target, h.delegate.get());
    }

    h.app.menuChooser = [](const platform::Menu&) { return 0; };
    click(kEventTypeRightMouseUp);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(h.app.isTerminating());

    h.app.menuChooser = [](const platform::Menu&) { return 2; };
    click(kEventTypeRightMouseUp);
    EXPECT_TRUE(h.app.isTerminating());
    EXPECT_EQ(h.app.poppedMenus.size(), 4u);
}

TEST_F(Ui, NoCurrentEventDoesNothing) {
    window->pressCloseButton();
    h.app.events.clear();
    click(std::nullopt);
    EXPECT_TRUE(h.app.events.empty());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(Ui, DockMenuHoldsOnlyQuit) {
    const auto menu = h.delegate->applicationDockMenu();
    ASSERT_EQ(menu.items.size(), 1u);
    EXPECT_EQ(menu.items[0].title, "退出");
    EXPECT_EQ(menu.items[0].keyEquivalent, "");
    EXPECT_EQ(menu.items[0].target, h.delegate.get());
    menu.items[0].perform();
    EXPECT_TRUE(h.app.isTerminating());
}

TEST_F(Ui, AlertPassesItsMessageAndAnswersOnlyWhenEnded) {
    for (const std::string message : {"", "第一行\n第二行\n\nthird <b>line</b> %s"}) {
        int calls = 0;
        h.delegate->runJavaScriptAlertPanel(message, [&] { ++calls; });
        const size_t index = window->sheets().size() - 1;
        const auto& sheet = window->sheets()[index];
        EXPECT_EQ(sheet.alert.messageText, message);
        EXPECT_EQ(sheet.alert.informativeText, "");
        EXPECT_EQ(sheet.alert.buttons, std::vector<std::string>{"确定"});
        EXPECT_EQ(calls, 0);  // not before the user has answered
        window->answerSheet(index, platform::kAlertFirstButtonReturn);
        EXPECT_EQ(calls, 1);
        EXPECT_FALSE(window->answerSheet(index, platform::kAlertFirstButtonReturn));
        EXPECT_EQ(calls, 1);
    }
}

TEST_F(Ui, ConfirmIsTrueOnlyForTheFirstButton) {
    std::vector<bool> answers;
    for (long response :
         {platform::kAlertFirstButtonReturn, platform::kAlertSecondButtonReturn, 0L, -1000L}) {
        h.delegate->runJavaScriptConfirmPanel("继续？", [&](bool yes) { answers.push_back(yes); });
        const size_t index = window->sheets().size() - 1;
        EXPECT_EQ(window->sheets()[index].alert.buttons,
                  (std::vector<std::string>{"确定", "取消"}));
        window->answerSheet(index, response);
    }
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false, false}));
}

TEST_F(Ui, DialogForAHiddenWindowStaysWithIt) {
    window->pressCloseButton();
    h.app.events.clear();
    h.delegate->runJavaScriptAlertPanel("hidden", [] {});
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->sheets().back().shownWhileHidden);
    EXPECT_EQ(h.app.events, std::vector<std::string>{"window.sheet"});
}

const char* const kTipText =
    "「AI Kestrix」图标已放在右上角菜单栏。点窗口 X 关闭后，可从菜单栏图标随时回来。\n\n"
    "macOS Tahoe 可能把第三方图标收到后面：去「系统设置 → 控制中心 → 菜单栏」，找到Kestrix V3.1 "
    "并设为\"在菜单栏中显示\"，即可固定在最前面。";

TEST(FirstRunTip, ShownOnceAfterTheLaunchAndRememberedOnlyAfterItsAnswer) {
    for (const std::optional<bool> stored : {std::optional<bool>{}, std::optional<bool>{false}}) {
        Harness h;
        if (stored) h.app.defaults.values[kFirstRunTipKey] = *stored;
        bool flagWhileShown = true;
        h.app.modalResponder = [&](const platform::AlertSpec&) {
            flagWhileShown = h.app.defaults.boolForKey(kFirstRunTipKey);
            return platform::kAlertFirstButtonReturn;
        };
        h.makeDelegate();
        h.delegate->applicationDidFinishLaunching();

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

TEST(FirstRunTip, NotShownOnceSeenNorWhenTheLaunchEndedTheApplication) {
    {
        Harness h;
        h.app.defaults.values[kFirstRunTipKey] = true;
        h.makeDelegate();
        h.delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(h.app.modalAlerts.empty());
    }
    {
        Harness h("");  // no backend: the launch ends the application
        h.makeDelegate();
        h.delegate->applicationDidFinishLaunching();
        EXPECT_EQ(h.alertMessages(), std::vector<std::string>{"找不到后端程序"});
        EXPECT_FALSE(h.app.defaults.values.count(kFirstRunTipKey));
    }
}

}  // namespace
}  // namespace kestrix::test
