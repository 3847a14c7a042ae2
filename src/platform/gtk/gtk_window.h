// The main window: a GtkWindow that hides instead of closing when its
// delegate says so, with the web view filling it and the alerts attached to it.
#pragma once

#include <gtk/gtk.h>

#include <optional>
#include <vector>

#include "platform/glib/owned.h"
#include "platform/gtk/gtk_app.h"

namespace kestrix::platform::gtk {

class GtkMainWindow final : public Window {
public:
    GtkMainWindow(GtkApp& app, const WindowSpec& spec);
    ~GtkMainWindow() override;

    void center() override;
    void setTitle(const std::string& title) override;
    void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
    std::unique_ptr<WebView> addWebView(std::string& whyNot) override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    bool isVisible() const override;
    void beginSheet(const AlertSpec& alert, std::function<void(long)> completion) override;
    void dismissSheets() override;

    GtkWindow* gtkWindow() const { return window_.get(); }

private:
    static gboolean onDeleteEvent(GtkWidget* widget, GdkEvent* event, void* self);
    static void onShow(GtkWidget* widget, void* self);
    void showPendingSheets();
    void keepInWorkArea();

    GtkApp& app_;
    const Owned<GtkWindow> window_;
    WindowDelegate* delegate_ = nullptr;
    // Sheets asked for while the window was hidden; shown with it.
    std::vector<Owned<GtkWidget>> pendingSheets_;
    std::vector<GtkWidget*> sheets_;  // every sheet not yet answered
    // On Wayland, the compositor's bounds for a toplevel, asked for once.
    std::optional<GdkRectangle> compositorBounds_;
};

}  // namespace kestrix::platform::gtk
