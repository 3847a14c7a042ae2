// A display-less implementation of the UI interfaces. It keeps what a user
// would have seen (the window, its loads, the alerts, the menus) as
// records, answers modal alerts through a responder, and runs a real main
// queue on the thread that pumps it. It also acts as a user and a page
// would (a click on the status item, the window's close button, a page's
// alert, a web process that ends), through the same delegates the GTK
// adapter calls: the tests drive the controller through it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui.h"

namespace kestrix::platform::headless {

class HeadlessWebView final : public WebView {
public:
    void loadHTMLString(const std::string& html) override { loads_.push_back("html:" + html); }
    // Refused while the gate is closed, as the GTK adapter's policy does.
    void loadRequest(const std::string& url) override {
        loads_.push_back((gateOpen_ ? "url:" : "refused:") + url);
    }
    void setPanelGate(long, bool open) override { gateOpen_ = open; }
    bool gateOpen() const { return gateOpen_; }
    void setUIDelegate(WebUIDelegate* delegate) override { ui_ = delegate; }

    // Loads in order: "html:<text>" or "url:<address>".
    const std::vector<std::string>& loads() const { return loads_; }

    // The page calls alert() or confirm(); `done` gets the answer.
    void pageAlert(const std::string& message, std::function<void()> done) {
        ui_->runJavaScriptAlertPanel(message, std::move(done));
    }
    void pageConfirm(const std::string& message, std::function<void(bool)> done) {
        ui_->runJavaScriptConfirmPanel(message, std::move(done));
    }
    // The process that renders the page ends.
    void endWebProcess() { ui_->webContentProcessDidTerminate(); }

private:
    std::vector<std::string> loads_;
    WebUIDelegate* ui_ = nullptr;
    bool gateOpen_ = true;
};

class HeadlessWindow final : public Window {
public:
    void center() override { centered_ = true; }
    void setTitle(const std::string&) override {}
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    std::unique_ptr<WebView> addWebView(std::string& whyNot) override;
    void makeKeyAndOrderFront() override { visible_ = key_ = true; }
    void orderOut() override { visible_ = key_ = false; }
    bool isVisible() const override { return visible_; }
    // Sheets are answered at once with the first button, unless held: then
    // they wait in `heldSheets` for the test to answer.
    void beginSheet(const AlertSpec& alert, std::function<void(long)> completion) override {
        sheets.push_back(alert);
        if (!holdSheets) return completion(kAlertFirstButtonReturn);
        auto done = done_.emplace_back(std::make_shared<bool>(false));
        heldSheets.push_back([done, completion = std::move(completion)](long answer) {
            if (!std::exchange(*done, true)) completion(answer);
        });
    }
    void dismissSheets() override {
        for (const auto& done : done_) dismissed += !std::exchange(*done, true);
    }
    std::vector<AlertSpec> sheets;
    size_t dismissed = 0;  // held sheets taken away unanswered
    bool holdSheets = false;
    std::vector<std::function<void(long)>> heldSheets;

    // The user presses the close button: the delegate decides.
    void clickClose() {
        if (!delegate_ || delegate_->windowShouldClose()) orderOut();
    }
    // The user presses Escape on held sheet `i`: the sheet's escape button
    // answers it, where it names one.
    bool pressEscapeOnSheet(size_t i) {
        const int escape = sheets[i].escapeButton;
        if (escape < 0) return false;
        heldSheets[i](kAlertFirstButtonReturn + escape);
        return true;
    }

    bool isCentered() const { return centered_; }
    bool isKey() const { return key_; }
    HeadlessWebView* webView() const { return webView_; }

private:
    bool centered_ = false, visible_ = false, key_ = false;
    HeadlessWebView* webView_ = nullptr;
    WindowDelegate* delegate_ = nullptr;
    std::vector<std::shared_ptr<bool>> done_;  // each held sheet: answered or taken away
};

class HeadlessApplication;

class HeadlessStatusItem final : public StatusItem, public StatusButton {
public:
    explicit HeadlessStatusItem(HeadlessApplication& app) : app_(app) {}
    StatusButton* button() override { return this; }
    void setMenuProvider(std::function<Menu()> provider) override {
        provider_ = std::move(provider);
    }
    void setImage(const std::string&, const std::string&) override {}
    void setAction(std::function<void()> action) override { action_ = std::move(action); }
    void sendActionOn(unsigned mask) override { mask_ = mask; }

    // The user releases a mouse button (kEventType...) on the item.
    void click(int eventType);
    // The menu a tray host that shows menus itself would show now.
    Menu hostMenu() const { return provider_ ? provider_() : Menu{}; }

private:
    HeadlessApplication& app_;
    std::function<void()> action_;
    std::function<Menu()> provider_;
    unsigned mask_ = 0;
};

class HeadlessUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const std::string& key) override;
    void setBool(bool value, const std::string& key) override;
    std::map<std::string, bool> values;
};

class HeadlessApplication final : public Application {
public:
    HeadlessApplication();
    ~HeadlessApplication() override;

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }
    // Finishes launching, then runs the main queue until termination.
    int run() override;
    void activateIgnoringOtherApps() override {}
    void terminate() override;
    bool isTerminating() const override { return terminating_; }
    std::unique_ptr<Window> makeWindow(const WindowSpec& spec) override;
    long runModalAlert(const AlertSpec& alert) override;
    std::optional<int> currentEventType() override { return currentEvent_; }
    // Records the menu's titles; the entry titled `menuChoice`, if any, is
    // chosen.
    void popUpMenuAtPointer(const Menu& menu) override;
    std::unique_ptr<StatusItem> makeStatusItem() override;
    void removeStatusItem(StatusItem* item) override;
    UserDefaults& standardUserDefaults() override { return defaults; }
    void postToMainQueue(std::function<void()> work) override;
    // Waits only: queued work stays queued.
    void waitUntil(const std::function<bool()>& done,
                   std::chrono::steady_clock::time_point deadline) override;

    // Runs queued main-queue work on the calling thread until `done` holds
    // or `timeout` has passed; returns whether `done` held.
    bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs what is queued now (and what that queues) without waiting.
    size_t drainMainQueue();

    // What happened (main thread only).
    std::vector<AlertSpec> modalAlerts;
    int willTerminateCount = 0;

    // Menus popped up, each as its entries' titles ("" for a separator).
    std::vector<std::vector<std::string>> poppedMenus;
    std::string menuChoice;
    // Runs `action` as the handling of an event of `eventType`.
    void dispatchEvent(int eventType, const std::function<void()>& action);

    // Answers each modal alert; by default the first button.
    std::function<long(const AlertSpec&)> modalResponder;
    // Called as the status item is created, and as it is removed, before
    // anything else happens.
    std::function<void()> onStatusItemCreated, beforeStatusItemRemoved;
    HeadlessUserDefaults defaults;

    HeadlessWindow* mainWindow() const { return window_; }
    HeadlessStatusItem* statusItem() const { return statusItem_; }

private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    ApplicationDelegate* delegate_ = nullptr;
    bool terminating_ = false;
    std::optional<int> currentEvent_;
    HeadlessWindow* window_ = nullptr;
    HeadlessStatusItem* statusItem_ = nullptr;

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace kestrix::platform::headless
