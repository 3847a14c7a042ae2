#include "platform/headless/headless_app.h"

namespace kestrix::platform::headless {

void HeadlessWindow::center() {
    centered_ = true;
    events_.push_back("window.center");
}

void HeadlessWindow::setTitle(const std::string& title) {
    title_ = title;
    events_.push_back("window.title");
}

std::unique_ptr<WebView> HeadlessWindow::addWebView() {
    auto view = std::make_unique<HeadlessWebView>(*this, events_);
    webView_ = view.get();
    events_.push_back("window.addWebView");
    return view;
}

void HeadlessWindow::makeKeyAndOrderFront() {
    visible_ = true;
    key_ = true;
    events_.push_back("window.front");
}

void HeadlessWindow::orderOut() {
    visible_ = false;
    key_ = false;
    events_.push_back("window.orderOut");
}

void HeadlessWindow::beginSheet(const AlertSpec& alert, std::function<void(long)> completion) {
    sheets_.push_back({alert, std::move(completion), !visible_, false});
    events_.push_back("window.sheet");
}

bool HeadlessWindow::pressCloseButton() {
    const bool close = delegate_ ? delegate_->windowShouldClose() : true;
    if (close) {
        closed_ = true;
        visible_ = false;
    }
    return close;
}

void HeadlessWindow::resize(double width, double height) {
    width_ = width;
    height_ = height;
    if (webView_) webView_->windowResized(width, height);
}

bool HeadlessWindow::answerSheet(size_t index, long response) {
    if (index >= sheets_.size() || sheets_[index].answered) return false;
    sheets_[index].answered = true;
    auto completion = std::move(sheets_[index].completion);
    sheets_[index].completion = nullptr;
    completion(response);
    return true;
}

HeadlessWebView::HeadlessWebView(HeadlessWindow& window, std::vector<std::string>& events)
    : window_(window), events_(events) {
    const auto [w, h] = window.contentSize();
    width_ = w;
    height_ = h;
}

HeadlessWebView::~HeadlessWebView() = default;

void HeadlessWebView::loadHTMLString(const std::string& html) {
    loads_.push_back("html:" + html);
    events_.push_back("webView.loadHTML");
}

void HeadlessWebView::loadRequest(const std::string& url, double timeoutSeconds) {
    loads_.push_back("url:" + url);
    lastTimeout_ = timeoutSeconds;
    events_.push_back("webView.loadRequest");
}

void HeadlessWebView::windowResized(double width, double height) {
    if (!autoresizes_) return;
    width_ = width;
    height_ = height;
}

bool HeadlessUserDefaults::boolForKey(const std::string& key) {
    const auto it = values.find(key);
    return it != values.end() && it->second;
}

void HeadlessUserDefaults::setBool(bool value, const std::string& key) {
    values[key] = value;
}

HeadlessApplication::HeadlessApplication()
    : modalResponder([](const AlertSpec&) { return kAlertFirstButtonReturn; }),
      menuChooser([](const Menu&) { return -1; }) {}

HeadlessApplication::~HeadlessApplication() = default;

int HeadlessApplication::run() {
    if (delegate_) delegate_->applicationDidFinishLaunching();
    runMainQueueUntil([this] { return terminating_; }, std::chrono::hours(24));
    return 0;
}

void HeadlessApplication::terminate() {
    if (terminating_) return;
    terminating_ = true;
    events.push_back("app.terminate");
    if (delegate_ && delegate_->applicationShouldTerminate() != kTerminateNow) return;
    if (delegate_) delegate_->applicationWillTerminate();
    ++willTerminateCount;
    events.push_back("app.terminated");
    queueChanged_.notify_all();
}

std::unique_ptr<Window> HeadlessApplication::makeWindow(const WindowSpec& spec) {
    auto window = std::make_unique<HeadlessWindow>(spec, events);
    window_ = window.get();
    events.push_back("window.create");
    return window;
}

long HeadlessApplication::runModalAlert(const AlertSpec& alert) {
    modalAlerts.push_back(alert);
    events.push_back("alert:" + alert.messageText);
    return modalResponder(alert);
}

void HeadlessApplication::popUpMenuAtPointer(const Menu& menu) {
    poppedMenus.push_back(menu);
    events.push_back("menu.popUp");
    const int choice = menuChooser(menu);
    if (choice >= 0 && static_cast<size_t>(choice) < menu.items.size() &&
        menu.items[static_cast<size_t>(choice)].perform)
        menu.items[static_cast<size_t>(choice)].perform();
}

std::unique_ptr<StatusItem> HeadlessApplication::statusItemWithLength(double length) {
    if (onStatusItemCreated) onStatusItemCreated();
    auto item = std::make_unique<HeadlessStatusItem>(length, statusItemsHaveButtons);
    statusItem_ = item.get();
    events.push_back("statusItem.create");
    return item;
}

void HeadlessApplication::removeStatusItem(StatusItem* item) {
    if (beforeStatusItemRemoved) beforeStatusItemRemoved();
    if (item == statusItem_) statusItem_ = nullptr;
    events.push_back("statusItem.remove");
}

void HeadlessApplication::postToMainQueue(std::function<void()> work) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(work));
    }
    queueChanged_.notify_all();
}

bool HeadlessApplication::runOne(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) return false;
    auto work = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    work();
    lock.lock();
    return true;
}

bool HeadlessApplication::runMainQueueUntil(const std::function<bool()>& done,
                                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(queueMutex_);
    for (;;) {
        while (runOne(lock)) {
            lock.unlock();
            const bool finished = done();
            lock.lock();
            if (finished) return true;
        }
        lock.unlock();
        const bool finished = done();
        lock.lock();
        if (finished) return true;
        // Conditions may also depend on other threads' work (a child that
        // exits, a flag), so look again at least every 10 ms.
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            lock.unlock();
            return done();
        }
        queueChanged_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)));
    }
}

size_t HeadlessApplication::drainMainQueue() {
    size_t count = 0;
    std::unique_lock lock(queueMutex_);
    while (runOne(lock)) ++count;
    return count;
}

bool HeadlessApplication::reopen() {
    if (!delegate_) return false;
    const bool visible = window_ && window_->isVisible();
    return delegate_->applicationShouldHandleReopen(visible);
}

}  // namespace kestrix::platform::headless
