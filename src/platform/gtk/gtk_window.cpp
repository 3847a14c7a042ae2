// The main window, its web view, and the dialogs attached to it.
#include "platform/gtk/gtk_window.h"

#include <gdk/gdkwayland.h>

#include <algorithm>
#include <string>

#include "platform/gtk/gtk_internal.h"
#include "platform/gtk/gtk_wayland_bounds.h"

namespace kestrix::platform::gtk {

GtkMainWindow::GtkMainWindow(GtkApp& app, const WindowSpec& spec)
    : app_(app), window_(GTK_WINDOW(g_object_ref_sink(gtk_window_new(GTK_WINDOW_TOPLEVEL)))) {
    gtk_window_set_default_size(window_.get(), static_cast<int>(spec.width),
                                static_cast<int>(spec.height));
    gtk_window_set_resizable(window_.get(), TRUE);
    gtk_window_set_deletable(window_.get(), TRUE);
    gtk_window_set_icon_name(window_.get(), app.applicationId().c_str());
    gtk_application_add_window(app.gtkApplication(), window_.get());
    g_signal_connect(window_.get(), "delete-event", G_CALLBACK(onDeleteEvent), this);
    g_signal_connect(window_.get(), "show", G_CALLBACK(onShow), this);
}

GtkMainWindow::~GtkMainWindow() {
    for (GtkWidget* sheet : sheets_) g_signal_handlers_disconnect_by_data(sheet, this);
    g_signal_handlers_disconnect_by_data(window_.get(), this);
}

void GtkMainWindow::center() {
    gtk_window_set_position(window_.get(), GTK_WIN_POS_CENTER);
}

void GtkMainWindow::setTitle(const std::string& title) {
    gtk_window_set_title(window_.get(), title.c_str());
}

// The web view, from the engine's module, loaded the first time.
std::unique_ptr<WebView> GtkMainWindow::addWebView(std::string& whyNot) {
    const WebEngineEntry addView = webEngineEntry(app_.webEnginePath(), whyNot);
    return std::unique_ptr<WebView>(addView ? addView(window_.get()) : nullptr);
}

namespace {

// The work area (the monitor less the desktop's panels) of the monitor the
// window is on, or of the primary one before it has been shown; empty
// where the display does not tell.
GdkRectangle workArea(GtkWindow* window) {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
    GdkMonitor* monitor = surface ? gdk_display_get_monitor_at_window(display, surface)
                                  : gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle area{0, 0, 0, 0};
    if (monitor) gdk_monitor_get_workarea(monitor, &area);
    return area;
}

}  // namespace

// The window stays within its monitor's work area, as a window does on the
// platform the program was designed for: its size is capped to it (where
// 1200 x 800 fits, nothing changes) and, where the window system lets us
// place it (X11), it is moved back in. Centring is done in the work area
// by the toolkit (GTK_WIN_POS_CENTER), on Wayland by the compositor.
//
// On Wayland the toolkit knows the monitor only: the compositor's bounds
// say what its panels leave, and room is kept for a title bar and borders,
// which come on top of the content's size there (the compositor's own, or
// the toolkit's header bar), so that the whole frame fits.
void GtkMainWindow::keepInWorkArea() {
    GdkRectangle area = workArea(window_.get());
    if (GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_.get()));
        GDK_IS_WAYLAND_DISPLAY(display)) {
        if (!compositorBounds_) compositorBounds_ = waylandBounds(display);
        constexpr int kTitleBarRoom = 48, kBorderRoom = 16;
        if (compositorBounds_->width > 0 && compositorBounds_->height > 0)
            area.width = std::min(area.width, compositorBounds_->width),
            area.height = std::min(area.height, compositorBounds_->height);
        area.width -= kBorderRoom;
        area.height -= kTitleBarRoom;
    }
    if (area.width <= 0 || area.height <= 0) return;
    const bool shown = gtk_widget_get_realized(GTK_WIDGET(window_.get()));
    int width = 0, height = 0;
    if (shown)
        gtk_window_get_size(window_.get(), &width, &height);
    else
        gtk_window_get_default_size(window_.get(), &width, &height);
    const int fitWidth = std::min(width, area.width), fitHeight = std::min(height, area.height);
    if (!shown) return gtk_window_set_default_size(window_.get(), fitWidth, fitHeight);
    if (fitWidth != width || fitHeight != height)
        gtk_window_resize(window_.get(), fitWidth, fitHeight);
    int x = 0, y = 0;
    gtk_window_get_position(window_.get(), &x, &y);
    const int inX = std::clamp(x, area.x, area.x + area.width - fitWidth),
              inY = std::clamp(y, area.y, area.y + area.height - fitHeight);
    if (inX != x || inY != y) gtk_window_move(window_.get(), inX, inY);
}

void GtkMainWindow::makeKeyAndOrderFront() {
    keepInWorkArea();
    gtk_widget_show(GTK_WIDGET(window_.get()));
    // The keyboard goes to the page, as in any browser window.
    if (GtkWidget* view = gtk_bin_get_child(GTK_BIN(window_.get()))) gtk_widget_grab_focus(view);
    app_.present(window_.get());
}

void GtkMainWindow::orderOut() {
    gtk_widget_hide(GTK_WIDGET(window_.get()));
}

bool GtkMainWindow::isVisible() const {
    return gtk_widget_get_visible(GTK_WIDGET(window_.get()));
}

gboolean GtkMainWindow::onDeleteEvent(GtkWidget*, GdkEvent*, void* data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    // The delegate decides: NO keeps the window (ours hides it itself),
    // YES lets it close for good.
    return self->delegate_ && !self->delegate_->windowShouldClose();
}

void GtkMainWindow::onShow(GtkWidget*, void* data) {
    static_cast<GtkMainWindow*>(data)->showPendingSheets();
}

void GtkMainWindow::showPendingSheets() {
    for (const Owned<GtkWidget>& sheet : pendingSheets_) gtk_widget_show(sheet.get());
    pendingSheets_.clear();
}

namespace {

struct SheetState {
    AlertSpec alert;
    std::function<void(long)> completion;
};

void onSheetResponse(GtkDialog* dialog, int response, void* data) {
    auto* state = static_cast<SheetState*>(data);
    const long answer = alertResponse(state->alert, response);
    if (answer < 0) return;
    if (auto completion = std::move(state->completion)) {
        state->completion = nullptr;
        completion(answer);
    }
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void deleteSheetState(void* data, GClosure*) {
    delete static_cast<SheetState*>(data);
}

}  // namespace

void GtkMainWindow::beginSheet(const AlertSpec& alert, std::function<void(long)> completion) {
    GtkWidget* dialog = makeAlertDialog(window_.get(), alert);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    g_signal_connect_data(dialog, "response", G_CALLBACK(onSheetResponse),
                          new SheetState{alert, std::move(completion)}, deleteSheetState,
                          GConnectFlags(0));
    sheets_.push_back(dialog);
    g_signal_connect(dialog, "destroy", G_CALLBACK(+[](GtkWidget* sheet, void* self) {
                         std::erase(static_cast<GtkMainWindow*>(self)->sheets_, sheet);
                     }),
                     this);
    if (isVisible()) {
        gtk_widget_show(dialog);
    } else {
        pendingSheets_.emplace_back(GTK_WIDGET(g_object_ref(dialog)));
    }
}

void GtkMainWindow::dismissSheets() {
    // Unanswered: the response handler, and with it the completion, goes first.
    for (GtkWidget* sheet : std::vector(sheets_)) {
        g_signal_handlers_disconnect_matched(sheet, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<void*>(onSheetResponse), nullptr);
        gtk_widget_destroy(sheet);
    }
    pendingSheets_.clear();
}

}  // namespace kestrix::platform::gtk
