// The GTK3 + WebKitGTK implementation of the UI interfaces. This header names
// no toolkit type beyond opaque forward declarations, so the program's entry
// point stays free of toolkit headers too.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/glib/owned.h"
#include "platform/ui.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWindow GtkWindow;

namespace kestrix::platform::gtk {

class GtkMainWindow;

class GtkApp final : public Application {
public:
    // `applicationName` is what the desktop shows for the program (the tray
    // item's title, a dialog without a message); `resourcesDirectory` holds
    // the icon files the status item uses.
    GtkApp(std::string applicationId, const std::string& applicationName,
           std::string resourcesDirectory);
    ~GtkApp() override;
    // Moves the web engine's storage of earlier versions, kept under the
    // name the program was started by, to where it lives now.
    static void adoptEarlierStorage(const std::string& applicationId);
    // A desktop service (the accessibility bus, the portal) that does not
    // answer within 0.8 s is never waited for; called by run().
    static void passOverSilentDesktopServices();

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }
    // Registers the application (a second start is forwarded to the first
    // as a reopen) and runs the GLib main loop. SIGTERM, SIGINT and SIGHUP
    // request the normal termination.
    int run() override;
    void activateIgnoringOtherApps() override;
    // Ends the process with status 0 once the delegate has been told;
    // never returns.
    void terminate() override;
    bool isTerminating() const override { return terminating_; }
    // The X server has gone: the normal termination, without the toolkit.
    [[noreturn]] void terminateWithoutDisplay();
    bool displayLost() const { return displayLost_; }
    // Brings `window` to the front with a real time: the event's, else the
    // X server's, or on Wayland the activation token a tray host gave.
    void present(GtkWindow* window);
    void setActivationToken(std::string token) { activationToken_ = std::move(token); }
    std::unique_ptr<Window> makeWindow(const WindowSpec& spec) override;
    long runModalAlert(const AlertSpec& alert) override;
    std::optional<int> currentEventType() override { return currentEvent_; }
    void popUpMenuAtPointer(const Menu& menu) override;
    std::unique_ptr<StatusItem> makeStatusItem() override;
    void removeStatusItem(StatusItem* item) override;
    UserDefaults& standardUserDefaults() override;
    void postToMainQueue(std::function<void()> work) override;
    void waitUntil(const std::function<bool()>& done,
                   std::chrono::steady_clock::time_point deadline) override;

    // Runs `action` as the handling of an event of `eventType` (kEventType...).
    void dispatchEvent(int eventType, const std::function<void()>& action);
    GtkApplication* gtkApplication() const { return application_.get(); }
    // The main window's toolkit object, or null before it exists.
    GtkWindow* mainGtkWindow() const;
    const std::string& applicationId() const { return applicationId_; }
    const std::string& resourcesDirectory() const { return resourcesDirectory_; }
    // The web engine's module, beside the resources directory.
    std::string webEnginePath() const;

private:
    static void onActivate(GtkApplication* application, void* self);

    std::string applicationId_;
    std::string resourcesDirectory_;
    Owned<GtkApplication> application_;
    ApplicationDelegate* delegate_ = nullptr;
    GtkMainWindow* mainWindow_ = nullptr;
    std::unique_ptr<UserDefaults> defaults_;
    std::optional<int> currentEvent_;
    bool launched_ = false;
    bool terminating_ = false;
    bool displayLost_ = false;
    std::string activationToken_;
};

}  // namespace kestrix::platform::gtk
