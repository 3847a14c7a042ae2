// A display-less implementation of the UI interfaces. It keeps what a user
// would have seen (windows, loads, alerts, menus) as records, answers modal
// alerts through a responder, and runs a real main queue on the thread that
// pumps it. The tests drive the controller through it as the program drives
// it through the GTK adapter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace kestrix::platform::headless {

class HeadlessWebView;

struct PendingSheet {
    AlertSpec alert;
    std::function<void(long)> completion;
    bool shownWhileHidden = false;
    bool answered = false;
};

class HeadlessWindow final : public Window {
public:
    explicit HeadlessWindow(WindowSpec spec, std::vector<std::string>& events)
        : spec_(spec), events_(events) {}

    void center() override;
    void setTitle(const std::string& title) override;
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    std::pair<double, double> contentSize() const override { return {width_, height_}; }
    std::unique_ptr<WebView> addWebView() override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    bool isVisible() const override { return visible_; }
    void beginSheet(const AlertSpec& alert, std::function<void(long)> completion) override;

    // What the user can do to the window.
    bool pressCloseButton();  // returns the delegate's answer; closes on true
    void resize(double width, double height);
    // Ends sheet `index` with `response`; false when it is not open.
    bool answerSheet(size_t index, long response);

    const WindowSpec& spec() const { return spec_; }
    const std::string& title() const { return title_; }
    bool isCentered() const { return centered_; }
    bool isClosed() const { return closed_; }
    bool isKey() const { return key_; }
    const std::vector<PendingSheet>& sheets() const { return sheets_; }
    HeadlessWebView* webView() const { return webView_; }

private:
    WindowSpec spec_;
    std::vector<std::string>& events_;
    WindowDelegate* delegate_ = nullptr;
    std::string title_;
    double width_ = spec_.width, height_ = spec_.height;
    bool centered_ = false, visible_ = false, key_ = false, closed_ = false;
    std::vector<PendingSheet> sheets_;
    HeadlessWebView* webView_ = nullptr;
};

class HeadlessWebView final : public WebView {
public:
    HeadlessWebView(HeadlessWindow& window, std::vector<std::string>& events);
    ~HeadlessWebView() override;

    void loadHTMLString(const std::string& html) override;
    void loadRequest(const std::string& url, double timeoutSeconds) override;
    void setUIDelegate(WebUIDelegate* delegate) override { uiDelegate_ = delegate; }
    void setAutoresizesWithWindow(bool autoresizes) override { autoresizes_ = autoresizes; }

    void windowResized(double width, double height);

    // Loads in order: "html:<text>" or "url:<address>".
    const std::vector<std::string>& loads() const { return loads_; }
    double lastRequestTimeout() const { return lastTimeout_; }
    std::pair<double, double> frameSize() const { return {width_, height_}; }
    WebUIDelegate* uiDelegate() const { return uiDelegate_; }

private:
    HeadlessWindow& window_;
    std::vector<std::string>& events_;
    WebUIDelegate* uiDelegate_ = nullptr;
    bool autoresizes_ = false;
    double width_, height_;
    std::vector<std::string> loads_;
    double lastTimeout_ = 0;
};

class HeadlessStatusButton final : public StatusButton {
public:
    void setImage(const std::string& symbolName, const std::string& description) override {
        symbolName_ = symbolName;
        accessibilityDescription_ = description;
    }
    void setAction(std::function<void()> action) override { action_ = std::move(action); }
    void sendActionOn(unsigned mask) override { mask_ = mask; }

    const std::string& symbolName() const { return symbolName_; }
    const std::string& accessibilityDescription() const { return accessibilityDescription_; }
    unsigned eventMask() const { return mask_; }
    const std::function<void()>& action() const { return action_; }

private:
    std::string symbolName_, accessibilityDescription_;
    std::function<void()> action_;
    unsigned mask_ = 0;
};

class HeadlessStatusItem final : public StatusItem {
public:
    HeadlessStatusItem(double length, bool hasButton) : length_(length), hasButton_(hasButton) {}
    StatusButton* button() override { return hasButton_ ? &button_ : nullptr; }
    HeadlessStatusButton& headlessButton() { return button_; }
    void setMenuProvider(std::function<Menu()> provider) override { menuProvider = std::move(provider); }
    std::function<Menu()> menuProvider;
    double length() const { return length_; }

private:
    double length_;
    bool hasButton_;
    HeadlessStatusButton button_;
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
    void setActivationPolicyRegular() override { events.push_back("app.activationPolicy.regular"); }
    void activateIgnoringOtherApps() override { events.push_back("app.activate"); }
    void terminate() override;
    bool isTerminating() const override { return terminating_; }
    std::unique_ptr<Window> makeWindow(const WindowSpec& spec) override;
    long runModalAlert(const AlertSpec& alert) override;
    std::optional<int> currentEventType() override { return currentEvent; }
    void popUpMenuAtPointer(const Menu& menu) override;
    std::unique_ptr<StatusItem> statusItemWithLength(double length) override;
    void removeStatusItem(StatusItem* item) override;
    UserDefaults& standardUserDefaults() override { return defaults; }
    void postToMainQueue(std::function<void()> work) override;

    // Runs queued main-queue work on the calling thread until `done` holds
    // or `timeout` has passed; returns whether `done` held.
    bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs what is queued now (and what that queues) without waiting.
    size_t drainMainQueue();

    // A second start of the application, forwarded to the running one.
    bool reopen();

    // Records, in the order things happened (main thread only).
    std::vector<std::string> events;
    std::vector<AlertSpec> modalAlerts;
    std::vector<Menu> poppedMenus;
    int willTerminateCount = 0;

    // Answers each modal alert; by default the first button.
    std::function<long(const AlertSpec&)> modalResponder;
    // Called as the status item is created, and as it is removed, before
    // anything else happens.
    std::function<void()> onStatusItemCreated, beforeStatusItemRemoved;
    // Chooses from a popped-up menu: the index of the entry, or -1 for none.
    std::function<int(const Menu&)> menuChooser;
    std::optional<int> currentEvent;
    bool statusItemsHaveButtons = true;
    HeadlessUserDefaults defaults;

    HeadlessWindow* mainWindow() const { return window_; }
    HeadlessStatusItem* statusItem() const { return statusItem_; }

private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    ApplicationDelegate* delegate_ = nullptr;
    bool terminating_ = false;
    HeadlessWindow* window_ = nullptr;
    HeadlessStatusItem* statusItem_ = nullptr;

    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace kestrix::platform::headless
