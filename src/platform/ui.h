// Toolkit-neutral interfaces for everything the controller needs from the
// desktop: the application object, the one window with its web view, alerts,
// menus, the status item, user defaults and the main queue.
//
// Two adapters implement them: platform/gtk (GTK3 + WebKitGTK, the program)
// and platform/headless (no display, the tests). Nothing here names a toolkit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrix::platform {

// Alert responses: the first button added answers 1000, each next one more.
inline constexpr long kAlertFirstButtonReturn = 1000;

struct AlertSpec {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // in the order added
    // The button that Escape (and the window's close) answers, by its index;
    // -1 for none: the alert stays until a button is pressed.
    int escapeButton = -1;
};

// Event types the status item's action can be sent for.
inline constexpr int kEventTypeLeftMouseUp = 2;
inline constexpr int kEventTypeRightMouseUp = 4;
// sendActionOn: mask for the release of the left (4) or right (16) button.
inline constexpr unsigned kEventMaskLeftMouseUp = 1u << kEventTypeLeftMouseUp;
inline constexpr unsigned kEventMaskRightMouseUp = 1u << kEventTypeRightMouseUp;

// A menu entry. Built anew every time a menu is needed; `perform` runs its
// action. A separator has no title and no action.
struct MenuItem {
    std::string title;
    std::function<void()> perform;  // runs the action on the delegate
    bool isSeparator = false;

    static MenuItem separator() {
        MenuItem item;
        item.isSeparator = true;
        return item;
    }
};

struct Menu {
    std::vector<MenuItem> items;
};

// The content size of a titled, closable, minimisable, resizable window.
struct WindowSpec {
    double width = 0;
    double height = 0;
};

class WindowDelegate {
public:
    virtual ~WindowDelegate() = default;
    // The close button was pressed; false keeps the window from closing.
    virtual bool windowShouldClose() = 0;
};

class WebUIDelegate {
public:
    virtual ~WebUIDelegate() = default;
    // The page called alert(). `completion` must be called exactly once.
    virtual void runJavaScriptAlertPanel(const std::string& message,
                                         std::function<void()> completion) = 0;
    // The page called confirm(). `completion` must be called exactly once.
    virtual void runJavaScriptConfirmPanel(const std::string& message,
                                           std::function<void(bool)> completion) = 0;
    // The process that renders the page has ended (killed, crashed): the
    // view shows nothing until something is loaded again.
    virtual void webContentProcessDidTerminate() = 0;
};

class WebView {
public:
    virtual ~WebView() = default;
    // Shows `html` with no base URL.
    virtual void loadHTMLString(const std::string& html) = 0;
    // Navigates to `url`.
    virtual void loadRequest(const std::string& url) = 0;
    // The gate on every request to `port` of this machine's loopback, by
    // any of its names: navigations of any cause in any frame,
    // subresources, fetch and XHR, WebSockets, beacons. While it is closed
    // none of them leaves the view (no connection, no cookie), and the page
    // on screen stays as it is. Open until first closed.
    virtual void setPanelGate(long port, bool open) = 0;
    virtual void setUIDelegate(WebUIDelegate* delegate) = 0;
};

class Window {
public:
    virtual ~Window() = default;
    virtual void center() = 0;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setDelegate(WindowDelegate* delegate) = 0;
    // Creates the web view, which fills the content area whatever its size;
    // null, with the reason in `whyNot`, where the web engine cannot be had.
    virtual std::unique_ptr<WebView> addWebView(std::string& whyNot) = 0;
    // Shows the window, brings it to the front and makes it key.
    virtual void makeKeyAndOrderFront() = 0;
    // Hides the window without closing it.
    virtual void orderOut() = 0;
    virtual bool isVisible() const = 0;
    // Shows `alert` as a dialog attached to this window and returns at once;
    // `completion` is called once, on the main thread, with the response of
    // the button that ended it. A hidden window shows it when it is shown.
    virtual void beginSheet(const AlertSpec& alert, std::function<void(long)> completion) = 0;
    // Takes every sheet away unanswered: its completion is never called.
    virtual void dismissSheets() = 0;
};

class StatusButton {
public:
    virtual ~StatusButton() = default;
    // The system symbol `symbolName`; where there is no such symbol the
    // button has no image.
    virtual void setImage(const std::string& symbolName,
                          const std::string& accessibilityDescription) = 0;
    virtual void setAction(std::function<void()> action) = 0;
    virtual void sendActionOn(unsigned eventMask) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // The clickable button of the item, or null where the platform has none.
    virtual StatusButton* button() = 0;
    // Where a tray host shows the item's menu itself, it shows this one,
    // asked for each time the host is about to show it.
    virtual void setMenuProvider(std::function<Menu()> provider) = 0;
};

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // False when the key is missing or the store cannot be read.
    virtual bool boolForKey(const std::string& key) = 0;
    virtual void setBool(bool value, const std::string& key) = 0;
};

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationShouldHandleReopen(bool hasVisibleWindows) = 0;
    virtual void applicationWillTerminate() = 0;
};

// The shared application object. Every method is called on the main thread,
// except postToMainQueue, which may be called from any thread.
class Application {
public:
    virtual ~Application() = default;

    virtual void setDelegate(ApplicationDelegate* delegate) = 0;
    // Runs the event loop on the calling thread.
    virtual int run() = 0;
    virtual void activateIgnoringOtherApps() = 0;
    // Normal termination with no sender: tells the delegate that
    // termination follows, then ends the process. The GTK adapter does not
    // return; the headless one returns with isTerminating() true.
    virtual void terminate() = 0;
    virtual bool isTerminating() const = 0;

    virtual std::unique_ptr<Window> makeWindow(const WindowSpec& spec) = 0;

    // Shows an application-modal alert and returns the response of the
    // button that dismissed it.
    virtual long runModalAlert(const AlertSpec& alert) = 0;

    // The type of the event being handled, if any (kEventType...).
    virtual std::optional<int> currentEventType() = 0;
    // Pops `menu` up at the pointer; returns when the menu has closed, after
    // a chosen entry has performed its action.
    virtual void popUpMenuAtPointer(const Menu& menu) = 0;

    // A square item in the tray.
    virtual std::unique_ptr<StatusItem> makeStatusItem() = 0;
    virtual void removeStatusItem(StatusItem* item) = 0;

    virtual UserDefaults& standardUserDefaults() = 0;

    // Runs `work` once on the main thread, later. Callable from any thread.
    virtual void postToMainQueue(std::function<void()> work) = 0;
    // Blocks the caller until `done` (which other threads make true) or
    // `deadline`, with the event loop running meanwhile where there is one:
    // the window is drawn and a termination asked for is carried out.
    virtual void waitUntil(const std::function<bool()>& done,
                           std::chrono::steady_clock::time_point deadline) = 0;
};

}  // namespace kestrix::platform
