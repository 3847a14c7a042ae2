#include "platform/headless/headless_app.h"

#include <algorithm>
#include <utility>

namespace kestrix::platform::headless {

std::unique_ptr<WebView> HeadlessWindow::addWebView(std::string&) {
    auto view = std::make_unique<HeadlessWebView>();
    webView_ = view.get();
    return view;
}

bool HeadlessUserDefaults::boolForKey(const std::string& key) {
    const auto it = values.find(key);
    return it != values.end() && it->second;
}

void HeadlessUserDefaults::setBool(bool value, const std::string& key) {
    values[key] = value;
}

HeadlessApplication::HeadlessApplication()
    : modalResponder([](const AlertSpec&) { return kAlertFirstButtonReturn; }) {}

HeadlessApplication::~HeadlessApplication() = default;

int HeadlessApplication::run() {
    if (delegate_) delegate_->applicationDidFinishLaunching();
    runMainQueueUntil([this] { return terminating_; }, std::chrono::hours(24));
    return 0;
}

void HeadlessApplication::terminate() {
    if (terminating_) return;
    terminating_ = true;
    if (delegate_) delegate_->applicationWillTerminate();
    ++willTerminateCount;
    queueChanged_.notify_all();
}

std::unique_ptr<Window> HeadlessApplication::makeWindow(const WindowSpec&) {
    auto window = std::make_unique<HeadlessWindow>();
    window_ = window.get();
    return window;
}

long HeadlessApplication::runModalAlert(const AlertSpec& alert) {
    modalAlerts.push_back(alert);
    return modalResponder(alert);
}

std::unique_ptr<StatusItem> HeadlessApplication::makeStatusItem() {
    if (onStatusItemCreated) onStatusItemCreated();
    auto item = std::make_unique<HeadlessStatusItem>(*this);
    statusItem_ = item.get();
    return item;
}

void HeadlessApplication::removeStatusItem(StatusItem* item) {
    if (beforeStatusItemRemoved) beforeStatusItemRemoved();
    if (item == statusItem_) statusItem_ = nullptr;
}

void HeadlessStatusItem::click(int eventType) {
    if (action_ && (mask_ & (1u << eventType))) app_.dispatchEvent(eventType, action_);
}

void HeadlessApplication::dispatchEvent(int eventType, const std::function<void()>& action) {
    const auto outer = std::exchange(currentEvent_, eventType);
    action();
    currentEvent_ = outer;
}

void HeadlessApplication::popUpMenuAtPointer(const Menu& menu) {
    poppedMenus.emplace_back();
    const MenuItem* chosen = nullptr;
    for (const auto& item : menu.items) {
        poppedMenus.back().push_back(item.title);
        if (!item.isSeparator && item.title == menuChoice) chosen = &item;
    }
    if (chosen) chosen->perform();
}

void HeadlessApplication::postToMainQueue(std::function<void()> work) {
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(work));
    }
    queueChanged_.notify_all();
}

// As the desktop's nested loop does: posted work runs meanwhile.
void HeadlessApplication::waitUntil(const std::function<bool()>& done,
                                    std::chrono::steady_clock::time_point deadline) {
    runMainQueueUntil(done, std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::max(deadline - std::chrono::steady_clock::now(),
                                         std::chrono::steady_clock::duration::zero())));
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

}  // namespace kestrix::platform::headless
