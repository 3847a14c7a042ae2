// Pieces of the GTK adapter shared between its files.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <string>
#include <vector>

#include "platform/gtk/gtk_app.h"

namespace kestrix::platform::gtk {

// The accessible name of an alert without a message.
inline constexpr const char* kAccessibleAlertName = "AI Kestrix V3.1";

// Loopback always direct, whatever proxy the environment names; the rest
// through the same proxies as the user's other programs.
void applyProxySettings(WebKitWebView* view);

// A message dialog for `alert`: the message as its primary text, the
// informative text as its secondary text, and one button per title whose
// response is 1000, 1001, ... in the order added.
GtkWidget* makeAlertDialog(GtkWindow* parent, const AlertSpec& alert);
// Maps a dialog's response to the alert's: a button's own, or, for a
// dialog dismissed without one (Escape, the window's close), the last
// button's, as the platform's alerts answer for their cancel button.
long alertResponse(const AlertSpec& alert, int gtkResponse);

class GtkWebViewAdapter final : public WebView {
public:
    explicit GtkWebViewAdapter(WebKitWebView* view);
    ~GtkWebViewAdapter() override;

    void loadHTMLString(const std::string& html) override;
    void loadRequest(const std::string& url, double timeoutSeconds) override;
    void setUIDelegate(WebUIDelegate* delegate) override { uiDelegate_ = delegate; }
    // A child of a GtkWindow always fills its content area.
    void setAutoresizesWithWindow(bool) override {}

    WebKitWebView* view() const { return view_; }

private:
    static gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, void* self);
    static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, void* self);

    WebKitWebView* view_;
    WebUIDelegate* uiDelegate_ = nullptr;
    std::string pendingHTML_;
    unsigned pendingLoad_ = 0;  // the idle source of a load not yet begun
};

class GtkMainWindow final : public Window {
public:
    GtkMainWindow(GtkApp& app, const WindowSpec& spec);
    ~GtkMainWindow() override;

    void center() override;
    void setTitle(const std::string& title) override;
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    std::pair<double, double> contentSize() const override;
    std::unique_ptr<WebView> addWebView() override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    bool isVisible() const override;
    void beginSheet(const AlertSpec& alert, std::function<void(long)> completion) override;

    GtkWindow* gtkWindow() const { return window_; }

private:
    static gboolean onDeleteEvent(GtkWidget* widget, GdkEvent* event, void* self);
    static void onShow(GtkWidget* widget, void* self);
    void showPendingSheets();

    GtkWindow* window_;
    WindowDelegate* delegate_ = nullptr;
    // Sheets asked for while the window was hidden; shown with it.
    std::vector<GtkWidget*> pendingSheets_;
};

// The user defaults: a key file in the user's configuration directory.
std::unique_ptr<UserDefaults> makeKeyFileUserDefaults(const std::string& applicationId);

// Builds a toolkit menu for `menu`; `chosen` receives the index of the entry
// the user activates.
GtkWidget* buildGtkMenu(const Menu& menu, int* chosen);

}  // namespace kestrix::platform::gtk
