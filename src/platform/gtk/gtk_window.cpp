// The main window, its web view, and the dialogs attached to it.
#include <string>

#include "platform/gtk/gtk_internal.h"

namespace kestrix::platform::gtk {

namespace {

// A variable by its lower-case name, or else its upper-case one.
std::string environmentValue(const char* name, const char* upperCaseName) {
    const char* value = g_getenv(name);
    if (!value || !*value) value = g_getenv(upperCaseName);
    return value ? value : "";
}

// A proxy named in the environment, as a URI.
std::string proxyFromEnvironment(const char* name, const char* upperCaseName) {
    std::string uri = environmentValue(name, upperCaseName);
    if (!uri.empty() && uri.find("://") == std::string::npos) uri = "http://" + uri;
    return uri;
}

}  // namespace

void applyProxySettings(WebKitWebView* view) {
    const std::string http = proxyFromEnvironment("http_proxy", "HTTP_PROXY"),
                      https = proxyFromEnvironment("https_proxy", "HTTPS_PROXY"),
                      all = proxyFromEnvironment("all_proxy", "ALL_PROXY");
    // Without one, the desktop's own settings apply (their usual exceptions
    // keep loopback direct).
    if (http.empty() && https.empty() && all.empty()) return;
    WebKitWebsiteDataManager* manager =
        webkit_web_context_get_website_data_manager(webkit_web_view_get_context(view));
    // The engine would send even the panel on 127.0.0.1 through it: the
    // same proxies, with loopback and the user's no_proxy exempt.
    std::vector<std::string> direct = {"localhost", "127.0.0.0/8", "::1"};
    const std::string noProxy = environmentValue("no_proxy", "NO_PROXY");
    gchar** entries = g_strsplit(noProxy.c_str(), ",", -1);
    for (gchar** e = entries; *e; ++e) {
        std::string host = g_strstrip(*e);
        if (host == "*") {
            g_strfreev(entries);
            webkit_website_data_manager_set_network_proxy_settings(
                manager, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
            return;
        }
        if (host.empty()) continue;
        if (host.front() == '.') host.erase(0, 1);
        direct.push_back(host);
        direct.push_back("*." + host);  // a domain covers its subdomains
    }
    g_strfreev(entries);
    std::vector<const char*> ignore;
    for (const auto& host : direct) ignore.push_back(host.c_str());
    ignore.push_back(nullptr);
    WebKitNetworkProxySettings* settings =
        webkit_network_proxy_settings_new(all.empty() ? nullptr : all.c_str(), ignore.data());
    if (!http.empty())
        webkit_network_proxy_settings_add_proxy_for_scheme(settings, "http", http.c_str());
    if (!https.empty())
        webkit_network_proxy_settings_add_proxy_for_scheme(settings, "https", https.c_str());
    webkit_website_data_manager_set_network_proxy_settings(
        manager, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings);
    webkit_network_proxy_settings_free(settings);
}

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
    // What a screen reader announces for the dialog.
    atk_object_set_name(gtk_widget_get_accessible(dialog), alert.messageText.empty()
                                                               ? kAccessibleAlertName
                                                               : alert.messageText.c_str());
    return dialog;
}

long alertResponse(const AlertSpec& alert, int gtkResponse) {
    const long count = static_cast<long>(alert.buttons.size());
    if (gtkResponse >= kAlertFirstButtonReturn && gtkResponse < kAlertFirstButtonReturn + count)
        return gtkResponse;
    return count > 0 ? kAlertFirstButtonReturn + count - 1 : kAlertFirstButtonReturn;
}

GtkMainWindow::GtkMainWindow(GtkApp& app, const WindowSpec& spec)
    : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))) {
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
    g_signal_handlers_disconnect_by_data(window_, this);
    g_object_unref(window_);
}

void GtkMainWindow::center() {
    gtk_window_set_position(window_, GTK_WIN_POS_CENTER);
}

void GtkMainWindow::setTitle(const std::string& title) {
    gtk_window_set_title(window_, title.c_str());
}

std::pair<double, double> GtkMainWindow::contentSize() const {
    int width = 0, height = 0;
    gtk_window_get_size(window_, &width, &height);
    return {static_cast<double>(width), static_cast<double>(height)};
}

std::unique_ptr<WebView> GtkMainWindow::addWebView() {
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    // Software rendering: the accelerated path costs more memory and time to
    // panel here, and on some graphics stacks leaves the window blank, which
    // is worse than anything it gains for a small control panel (see
    // docs/benchmarks.md).
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    applyProxySettings(view);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view));
    gtk_widget_show(GTK_WIDGET(view));
    return std::make_unique<GtkWebViewAdapter>(view);
}

void GtkMainWindow::makeKeyAndOrderFront() {
    gtk_widget_show(GTK_WIDGET(window_));
    gtk_window_present_with_time(window_, gtk_get_current_event_time());
}

void GtkMainWindow::orderOut() {
    gtk_widget_hide(GTK_WIDGET(window_));
}

bool GtkMainWindow::isVisible() const {
    return gtk_widget_get_visible(GTK_WIDGET(window_));
}

gboolean GtkMainWindow::onDeleteEvent(GtkWidget*, GdkEvent*, void* data) {
    auto* self = static_cast<GtkMainWindow*>(data);
    // The window is never destroyed: where the delegate would let it close,
    // it is hidden all the same, so that nobody is left holding a dead one.
    if (!self->delegate_ || self->delegate_->windowShouldClose()) self->orderOut();
    return TRUE;
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
    if (auto completion = std::move(state->completion)) {
        state->completion = nullptr;
        completion(alertResponse(state->alert, response));
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
    if (isVisible()) {
        gtk_widget_show(dialog);
    } else {
        pendingSheets_.push_back(GTK_WIDGET(g_object_ref(dialog)));
    }
}

GtkWebViewAdapter::GtkWebViewAdapter(WebKitWebView* view) : view_(view) {
    g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
    g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
    // No file panel: a file input's request is declined, as where nothing
    // handles it.
    g_signal_connect(view_, "run-file-chooser",
                     G_CALLBACK(+[](WebKitWebView*, WebKitFileChooserRequest* request, void*) {
                         webkit_file_chooser_request_cancel(request);
                         return TRUE;
                     }),
                     nullptr);
}

GtkWebViewAdapter::~GtkWebViewAdapter() {
    if (pendingLoad_) g_source_remove(pendingLoad_);
    g_signal_handlers_disconnect_by_data(view_, this);
}

// The first load starts the engine's processes, which takes the main thread
// a while: it is done from the main loop, once the launch that follows the
// window has started the service, so that the two start side by side.
void GtkWebViewAdapter::loadHTMLString(const std::string& html) {
    if (pendingLoad_) g_source_remove(pendingLoad_);
    pendingHTML_ = html;
    pendingLoad_ = g_idle_add(
        [](void* self) -> gboolean {
            auto* adapter = static_cast<GtkWebViewAdapter*>(self);
            adapter->pendingLoad_ = 0;
            webkit_web_view_load_html(adapter->view_, adapter->pendingHTML_.c_str(), nullptr);
            return G_SOURCE_REMOVE;
        },
        this);
}

void GtkWebViewAdapter::loadRequest(const std::string& url, double /*timeoutSeconds*/) {
    // A page still waiting to load is replaced by this one.
    if (pendingLoad_) g_source_remove(pendingLoad_);
    pendingLoad_ = 0;
    // The engine applies its own network time-outs; the request itself
    // carries none here.
    webkit_web_view_load_uri(view_, url.c_str());
}

// alert() and confirm() go to the delegate and are answered when it says
// so; WebKit is told exactly once, through webkit_script_dialog_close.
gboolean GtkWebViewAdapter::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, void* data) {
    auto* self = static_cast<GtkWebViewAdapter*>(data);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
        case WEBKIT_SCRIPT_DIALOG_ALERT:
            if (!self->uiDelegate_) return FALSE;
            webkit_script_dialog_ref(dialog);
            self->uiDelegate_->runJavaScriptAlertPanel(webkit_script_dialog_get_message(dialog),
                                                       [dialog] {
                                                           webkit_script_dialog_close(dialog);
                                                           webkit_script_dialog_unref(dialog);
                                                       });
            return TRUE;
        case WEBKIT_SCRIPT_DIALOG_CONFIRM:
            if (!self->uiDelegate_) return FALSE;
            webkit_script_dialog_ref(dialog);
            self->uiDelegate_->runJavaScriptConfirmPanel(
                webkit_script_dialog_get_message(dialog), [dialog](bool yes) {
                    webkit_script_dialog_confirm_set_confirmed(dialog, yes);
                    webkit_script_dialog_close(dialog);
                    webkit_script_dialog_unref(dialog);
                });
            return TRUE;
        case WEBKIT_SCRIPT_DIALOG_PROMPT:
            // No text-input panel of our own: the page gets null.
            return TRUE;
        case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
            // Without a panel for it, leaving the page is allowed.
            webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
            return TRUE;
    }
    return FALSE;
}

GtkWidget* GtkWebViewAdapter::onCreate(WebKitWebView*, WebKitNavigationAction*, void*) {
    return nullptr;  // no new windows
}

}  // namespace kestrix::platform::gtk
