// The main window, its web view, and the dialogs attached to it.
#include "platform/gtk/gtk_window.h"

#include <gdk/gdkwayland.h>
#include <gmodule.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/gtk/gtk_internal.h"
#include "platform/gtk/gtk_wayland_bounds.h"
#include "platform/gtk/gtk_web_engine.h"

namespace kestrix::platform::gtk {

GtkWidget* makeAlertDialog(GtkWindow* parent, const AlertSpec& alert) {
    // The texts go in as arguments, never as format strings.
    GtkWidget* dialog =
        gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_OTHER,
                               GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
    if (!alert.informativeText.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                                 alert.informativeText.c_str());
    for (size_t i = 0; i < alert.buttons.size(); ++i)
        gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(),
                              static_cast<int>(kAlertFirstButtonReturn + static_cast<long>(i)));
    if (!alert.buttons.empty())
        gtk_dialog_set_default_response(GTK_DIALOG(dialog),
                                        static_cast<int>(kAlertFirstButtonReturn));
    gtk_window_set_title(GTK_WINDOW(dialog), "");
    // The close request (Escape, the title bar) never destroys the dialog:
    // it answers as alertResponse says, or not at all.
    g_signal_connect(dialog, "delete-event", G_CALLBACK(gtk_true), nullptr);
    // What a screen reader announces for the dialog.
    atk_object_set_name(gtk_widget_get_accessible(dialog), alert.messageText.empty()
                                                               ? text::kProductName
                                                               : alert.messageText.c_str());
    return dialog;
}

long alertResponse(const AlertSpec& alert, int gtkResponse) {
    const long count = static_cast<long>(alert.buttons.size());
    if (gtkResponse >= kAlertFirstButtonReturn && gtkResponse < kAlertFirstButtonReturn + count)
        return gtkResponse;
    // Escape and the close request answer the button the alert names.
    return alert.escapeButton >= 0 && alert.escapeButton < count
               ? kAlertFirstButtonReturn + alert.escapeButton
               : -1;
}

GtkMainWindow::GtkMainWindow(GtkApp& app, const WindowSpec& spec)
    : app_(app), window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))) {
    g_object_ref_sink(window_);
    gtk_window_set_default_size(window_, static_cast<int>(spec.width),
                                static_cast<int>(spec.height));
    gtk_window_set_resizable(window_, TRUE);
    gtk_window_set_deletable(window_, TRUE);
    gtk_window_set_icon_name(window_, app.applicationId().c_str());
    gtk_application_add_window(app.gtkApplication(), window_);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDeleteEvent), this);
    g_signal_connect(window_, "show", G_CALLBACK(onShow), this);
}

GtkMainWindow::~GtkMainWindow() {
    for (GtkWidget* sheet : sheets_) g_signal_handlers_disconnect_by_data(sheet, this);
    g_signal_handlers_disconnect_by_data(window_, this);
    g_object_unref(window_);
}

void GtkMainWindow::center() {
    gtk_window_set_position(window_, GTK_WIN_POS_CENTER);
}

void GtkMainWindow::setTitle(const std::string& title) {
    gtk_window_set_title(window_, title.c_str());
}

namespace {

using AddView = WebView* (*)(GtkWindow*);

struct LoadedEngine {
    AddView entry = nullptr;
    std::string error;  // why there is no entry
};

LoadedEngine openWebEngine(const std::string& path) {
    LoadedEngine loaded;
    GModule* module = g_module_open(path.c_str(), GModuleFlags(0));
    void* entry = nullptr;
    if (module && g_module_symbol(module, kWebEngineEntry, &entry)) {
        loaded.entry = reinterpret_cast<AddView>(entry);
    } else {
        loaded.error = g_module_error();
    }
    return loaded;
}

// The engine's entry point, loaded once for the process.
const LoadedEngine& loadWebEngine(const std::string& path) {
    static const LoadedEngine loaded = openWebEngine(path);
    return loaded;
}

// What the window has in place of a web view when the engine cannot be
// loaded: the program is ending, and nothing is shown.
class NoWebView final : public WebView {
public:
    void loadHTMLString(const std::string&) override {}
    void loadRequest(const std::string&) override {}
    void setPanelGate(long, bool) override {}
    void setUIDelegate(WebUIDelegate*) override {}
};

}  // namespace

// The web view, made with the window before anything is loaded into it or
// the service starts. Without its engine the window could never show the
// panel: the user is told, and the program ends.
std::unique_ptr<WebView> GtkMainWindow::addWebView() {
    const LoadedEngine& loaded = loadWebEngine(app_.webEnginePath());
    if (loaded.entry) return std::unique_ptr<WebView>(loaded.entry(window_));
    std::fprintf(stderr, "kestrix-v3-shell: cannot load the web engine: %s\n",
                 loaded.error.c_str());
    app_.runModalAlert({text::kEngineMissing, loaded.error, {text::kQuit}, 0});
    app_.terminate();
    return std::make_unique<NoWebView>();
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
    GdkRectangle area = workArea(window_);
    if (const GdkRectangle bounds = waylandBounds(gtk_widget_get_display(GTK_WIDGET(window_)));
        GDK_IS_WAYLAND_DISPLAY(gtk_widget_get_display(GTK_WIDGET(window_)))) {
        constexpr int kTitleBarRoom = 48, kBorderRoom = 16;
        if (bounds.width > 0 && bounds.height > 0)
            area.width = std::min(area.width, bounds.width), area.height = std::min(area.height, bounds.height);
        area.width -= kBorderRoom;
        area.height -= kTitleBarRoom;
    }
    if (area.width <= 0 || area.height <= 0) return;
    const bool shown = gtk_widget_get_realized(GTK_WIDGET(window_));
    int width = 0, height = 0;
    if (shown)
        gtk_window_get_size(window_, &width, &height);
    else
        gtk_window_get_default_size(window_, &width, &height);
    const int fitWidth = std::min(width, area.width), fitHeight = std::min(height, area.height);
    if (!shown) return gtk_window_set_default_size(window_, fitWidth, fitHeight);
    if (fitWidth != width || fitHeight != height) gtk_window_resize(window_, fitWidth, fitHeight);
    int x = 0, y = 0;
    gtk_window_get_position(window_, &x, &y);
    const int inX = std::clamp(x, area.x, area.x + area.width - fitWidth),
              inY = std::clamp(y, area.y, area.y + area.height - fitHeight);
    if (inX != x || inY != y) gtk_window_move(window_, inX, inY);
}

void GtkMainWindow::makeKeyAndOrderFront() {
    keepInWorkArea();
    gtk_widget_show(GTK_WIDGET(window_));
    // The keyboard goes to the page, as in any browser window.
    if (GtkWidget* view = gtk_bin_get_child(GTK_BIN(window_))) gtk_widget_grab_focus(view);
    app_.present(window_);
}

void GtkMainWindow::orderOut() {
    gtk_widget_hide(GTK_WIDGET(window_));
}

bool GtkMainWindow::isVisible() const {
    return gtk_widget_get_visible(GTK_WIDGET(window_));
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
    for (GtkWidget* sheet : pendingSheets_) {
        gtk_widget_show(sheet);
        g_object_unref(sheet);
    }
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
    GtkWidget* dialog = makeAlertDialog(window_, alert);
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
        pendingSheets_.push_back(GTK_WIDGET(g_object_ref(dialog)));
    }
}

void GtkMainWindow::dismissSheets() {
    // Unanswered: the response handler, and with it the completion, goes first.
    for (GtkWidget* sheet : std::vector(sheets_)) {
        g_signal_handlers_disconnect_matched(sheet, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                             reinterpret_cast<void*>(onSheetResponse), nullptr);
        gtk_widget_destroy(sheet);
    }
    for (GtkWidget* sheet : pendingSheets_) g_object_unref(sheet);
    pendingSheets_.clear();
}

}  // namespace kestrix::platform::gtk
