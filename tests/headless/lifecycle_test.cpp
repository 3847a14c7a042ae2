// The application shell: start order, the window and its page, hide on
// close, reopen, and quitting.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

TEST(Lifecycle, StartsInOrderAndShowsTheStartingPage) {
    Harness h;
    h.app.defaults.values[kFirstRunTipKey] = true;
    h.makeDelegate();
    h.delegate->applicationDidFinishLaunching();

    // Window before status item, status item before the launch, which is
    // before anything the background wait loads.
    const std::vector<std::string> expected = {"app.activationPolicy.regular",
                                               "window.create",
                                               "window.center",
                                               "window.title",
                                               "window.addWebView",
                                               "webView.loadHTML",
                                               "window.front",
                                               "app.activate",
                                               "statusItem.create"};
    ASSERT_GE(h.app.events.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(h.app.events.begin(), h.app.events.begin() + expected.size()),
        expected);

    const auto* window = h.app.mainWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->title(), "AI Kestrix V3.1 · 本机授权版");
    EXPECT_EQ(window->spec().width, 1200);
    EXPECT_EQ(window->spec().height, 800);
    EXPECT_EQ(window->spec().styleMask, 15u);
    EXPECT_TRUE(window->isCentered());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKey());

    const std::string page = kStartingPageHTML;
    EXPECT_EQ(page.size(), 169u);
    EXPECT_EQ(window->webView()->loads().front(), "html:" + page);
    EXPECT_EQ(window->webView()->uiDelegate(), h.delegate.get());
    EXPECT_NE(h.delegate->backendPGID, 0);
}

TEST(Lifecycle, CloseHidesAndKeepsTheWindowAndItsPage) {
    Harness h;
    h.makeDelegate();
    h.delegate->createMainWindow();
    auto* window = h.app.mainWindow();
    const auto loadsBefore = window->webView()->loads();

    EXPECT_FALSE(window->pressCloseButton());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isClosed());
    EXPECT_FALSE(h.app.isTerminating());

    h.delegate->showWindow();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(h.app.mainWindow(), window);
    EXPECT_EQ(window->webView()->loads(), loadsBefore);  // no reload
}

TEST(Lifecycle, ReopenShowsActivatesAndAnswersYesEitherWay) {
    Harness h;
    h.makeDelegate();
    h.delegate->createMainWindow();
    auto* window = h.app.mainWindow();

    window->pressCloseButton();
    h.app.events.clear();
    EXPECT_TRUE(h.delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(h.app.events, (std::vector<std::string>{"window.front", "app.activate"}));

    h.app.events.clear();
    EXPECT_TRUE(h.app.reopen());  // already visible
    EXPECT_EQ(h.app.events, (std::vector<std::string>{"window.front", "app.activate"}));
}

TEST(Lifecycle, QuitWithoutBackendEndsAtOnceAndRemovesTheStatusItem) {
    Harness h;
    h.makeDelegate();
    h.delegate->createMainWindow();
    h.delegate->createStatusItem();

    const auto started = std::chrono::steady_clock::now();
    h.delegate->quitApp();
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_TRUE(h.app.isTerminating());
    EXPECT_EQ(h.app.willTerminateCount, 1);
    EXPECT_EQ(h.app.statusItem(), nullptr);
    EXPECT_TRUE(h.delegate->isQuitting);
    EXPECT_LT(took, std::chrono::seconds(1));
    EXPECT_EQ(h.delegate->applicationShouldTerminate(), platform::kTerminateNow);

    h.delegate->quitApp();  // a second request changes nothing
    EXPECT_EQ(h.app.willTerminateCount, 1);
}

}  // namespace
}  // namespace kestrix::test
