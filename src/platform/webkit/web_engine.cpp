// The web view on WebKitGTK: engine settings, the proxy the panel is reached
// by, and the page's dialogs handed to the UI delegate.
#include "platform/webkit/web_engine.h"
#include "platform/diagnostics.h"
#include "platform/files.h"
#include "platform/glib/owned.h"
#include "platform/webkit/panel_gate.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <string>
#include <utility>
#include <vector>

namespace kestrix::platform::webkit {

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

// Loopback always direct, whatever proxy the environment names; the rest
// through the same proxies as the user's other programs.
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
    g_auto(GStrv) entries = g_strsplit(noProxy.c_str(), ",", -1);
    for (gchar** e = entries; *e; ++e) {
        std::string host = g_strstrip(*e);
        if (host == "*") {
            webkit_website_data_manager_set_network_proxy_settings(
                manager, WEBKIT_NETWORK_PROXY_MODE_NO_PROXY, nullptr);
            return;
        }
        if (host.empty()) continue;
        if (host.front() == '.') host.erase(0, 1);
        direct.push_back(host);
        direct.push_back("*." + host);  // a domain covers its subdomains
    }
    std::vector<const char*> ignore;
    for (const auto& host : direct) ignore.push_back(host.c_str());
    ignore.push_back(nullptr);
    const Owned<WebKitNetworkProxySettings, webkit_network_proxy_settings_free> settings(
        webkit_network_proxy_settings_new(all.empty() ? nullptr : all.c_str(), ignore.data()));
    if (!http.empty())
        webkit_network_proxy_settings_add_proxy_for_scheme(settings.get(), "http", http.c_str());
    if (!https.empty())
        webkit_network_proxy_settings_add_proxy_for_scheme(settings.get(), "https", https.c_str());
    webkit_website_data_manager_set_network_proxy_settings(
        manager, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings.get());
}

// The panel's cookies kept on disk beside its local storage, in the
// engine's data directory (the program's name under the user's data
// directory), the file the user's alone; the engine keeps none unless told.
// Cookies without an expiry end with the program. The store and its
// journals are handed to the engine only as regular files of ours (or
// none): SQLite would wait for good opening a FIFO planted there.
void keepCookies(WebKitWebView* view) {
    WebKitWebContext* context = webkit_web_view_get_context(view);
    g_autofree gchar* data = g_build_filename(g_get_user_data_dir(), g_get_prgname(), nullptr);
    g_mkdir_with_parents(data, 0700);
    const std::string path = std::string(data) + "/cookies.sqlite";
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        struct stat st {};
        if (lstat((path + suffix).c_str(), &st) == 0 &&
            (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
            platform::warn(
                "%s%s is not a regular file of this user; the panel's "
                "cookies are not kept",
                path.c_str(), suffix);
            return;
        }
    }
    const platform::Descriptor store(
        g_open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    if (store) fchmod(store.get(), 0600);
    webkit_cookie_manager_set_persistent_storage(webkit_web_context_get_cookie_manager(context),
                                                 path.c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
}

// What a screen reader follows. The view's own accessible (the socket the
// page's tree hangs from) is a document named as the page, and a child of
// the window's, said outright: one made before the view was in the window
// had no parent, reported index -1, and readers took it for a dead object
// and ignored its focus (after a dialog they said the window's title and
// nothing of the page). Each time the view gets the keyboard (the window
// shown or active again: after a dialog, the tip, a restart), the page's
// focused control is focused anew, so that the page itself tells the reader
// where its focus is, as a browser does; without one, the document's focus
// is the view's own.
constexpr const char* kRefocusScript =
    "(() => { const e = document.activeElement;"
    " if (!e || e === document.body || e === document.documentElement) return;"
    " e.blur(); e.focus({preventScroll: true}); })()";
constexpr const char* kRefocusWorld = "kestrix-focus";

void nameAfterPage(WebKitWebView* view, GtkWindow* window) {
    const char* title = webkit_web_view_get_title(view);
    if (!title || !*title) title = gtk_window_get_title(window);
    atk_object_set_name(gtk_widget_get_accessible(GTK_WIDGET(view)), title ? title : "");
}

void exposeToScreenReaders(WebKitWebView* view, GtkWindow* window) {
    AtkObject* accessible = gtk_widget_get_accessible(GTK_WIDGET(view));
    atk_object_set_role(accessible, ATK_ROLE_DOCUMENT_WEB);
    atk_object_set_parent(accessible, gtk_widget_get_accessible(GTK_WIDGET(window)));
    nameAfterPage(view, window);
    g_signal_connect(view, "notify::title",
                     G_CALLBACK(+[](WebKitWebView* view, GParamSpec*, GtkWindow* window) {
                         nameAfterPage(view, window);
                     }),
                     window);
    // A page that has loaded while the view has the keyboard: its document
    // is told of as focused again (the first time, before the page's process
    // was there, readers passed it over).
    g_signal_connect(
        view, "load-changed", G_CALLBACK(+[](WebKitWebView* view, WebKitLoadEvent event, void*) {
            if (event == WEBKIT_LOAD_FINISHED && gtk_widget_has_focus(GTK_WIDGET(view)))
                atk_object_notify_state_change(gtk_widget_get_accessible(GTK_WIDGET(view)),
                                               ATK_STATE_FOCUSED, TRUE);
        }),
        nullptr);
    g_signal_connect_after(
        view, "focus-in-event", G_CALLBACK(+[](WebKitWebView* view, GdkEvent*, void*) {
            // After the toolkit has told of the view's own focus (from
            // an idle of its own), so that the control's comes last.
            g_idle_add_full(
                G_PRIORITY_LOW,
                [](void* view) {
                    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), kRefocusScript, -1,
                                                        kRefocusWorld, nullptr, nullptr, nullptr,
                                                        nullptr);
                    return G_SOURCE_REMOVE;
                },
                g_object_ref(view), g_object_unref);
            return FALSE;
        }),
        nullptr);
}

class GtkWebViewAdapter final : public WebView {
public:
    explicit GtkWebViewAdapter(WebKitWebView* view);
    ~GtkWebViewAdapter() override;

    void loadHTMLString(const std::string& html) override;
    void loadRequest(const std::string& url) override;
    void setPanelGate(long port, bool open) override { gate_.set(port, open); }
    void setUIDelegate(WebUIDelegate* delegate) override { uiDelegate_ = delegate; }

private:
    static gboolean onScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, void* self);

    WebKitWebView* view_;
    // The page asked for before the panel (the starting page) is on screen
    // first: the panel waits until it has been committed.
    bool pageUncommitted_ = false;
    std::string html_;  // that page
    std::string waitingURL_;
    bool processEnded_ = false;  // the web process died since the last load
    WebUIDelegate* uiDelegate_ = nullptr;
    PanelGate gate_{view_};
};

GtkWebViewAdapter::GtkWebViewAdapter(WebKitWebView* view) : view_(view) {
    g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
    g_signal_connect(view_, "load-changed",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitLoadEvent event, void* data) {
                         auto* self = static_cast<GtkWebViewAdapter*>(data);
                         if (event < WEBKIT_LOAD_COMMITTED || !self->pageUncommitted_) return;
                         self->pageUncommitted_ = false;
                         if (!self->waitingURL_.empty())
                             webkit_web_view_load_uri(view,
                                                      std::exchange(self->waitingURL_, "").c_str());
                     }),
                     this);
    g_signal_connect(view_, "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, void* data) {
                         auto* self = static_cast<GtkWebViewAdapter*>(data);
                         self->processEnded_ = true;
                         if (self->uiDelegate_) self->uiDelegate_->webContentProcessDidTerminate();
                     }),
                     this);
    // No new windows.
    g_signal_connect(view_, "create",
                     G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction*, void*) {
                         return static_cast<GtkWidget*>(nullptr);
                     }),
                     nullptr);
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
    g_signal_handlers_disconnect_by_data(view_, this);
}

void GtkWebViewAdapter::loadHTMLString(const std::string& html) {
    pageUncommitted_ = true;
    processEnded_ = false;
    html_ = html;
    waitingURL_.clear();
    webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void GtkWebViewAdapter::loadRequest(const std::string& url) {
    // The engine applies its own network time-outs; the request itself
    // carries none here.
    if (pageUncommitted_) {
        waitingURL_ = url;
        // The web process died before that page's commit, which will never
        // come now: the page is asked for again, and the panel follows it.
        if (std::exchange(processEnded_, false))
            webkit_web_view_load_html(view_, html_.c_str(), nullptr);
        return;
    }
    webkit_web_view_load_uri(view_, url.c_str());
}

// A page's dialog, held for as long as its answer can still come.
std::shared_ptr<WebKitScriptDialog> hold(WebKitScriptDialog* dialog) {
    return {webkit_script_dialog_ref(dialog), webkit_script_dialog_unref};
}

// alert() and confirm() go to the delegate and are answered when it says
// so; WebKit is told exactly once, through webkit_script_dialog_close.
gboolean GtkWebViewAdapter::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, void* data) {
    auto* self = static_cast<GtkWebViewAdapter*>(data);
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
        case WEBKIT_SCRIPT_DIALOG_ALERT:
            if (!self->uiDelegate_) return FALSE;
            self->uiDelegate_->runJavaScriptAlertPanel(
                webkit_script_dialog_get_message(dialog),
                [held = hold(dialog)] { webkit_script_dialog_close(held.get()); });
            return TRUE;
        case WEBKIT_SCRIPT_DIALOG_CONFIRM:
            if (!self->uiDelegate_) return FALSE;
            self->uiDelegate_->runJavaScriptConfirmPanel(
                webkit_script_dialog_get_message(dialog), [held = hold(dialog)](bool yes) {
                    webkit_script_dialog_confirm_set_confirmed(held.get(), yes);
                    webkit_script_dialog_close(held.get());
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

}  // namespace

}  // namespace kestrix::platform::webkit

kestrix::platform::WebView* kestrix_web_engine_add_view(GtkWindow* window) {
    using namespace kestrix::platform::webkit;
    auto* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    // Software rendering: the accelerated path costs more memory and time to
    // panel here, and on some graphics stacks leaves the window blank, which
    // is worse than anything it gains for a small control panel (see
    // docs/benchmarks.md).
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view),
                                                     WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    applyProxySettings(view);
    keepCookies(view);
    // No downloads: nothing here could say where a file should go, so none
    // is written (a link with `download`, an attachment).
    g_signal_connect(webkit_web_view_get_context(view), "download-started",
                     G_CALLBACK(+[](WebKitWebContext*, WebKitDownload* download, void*) {
                         webkit_download_cancel(download);
                     }),
                     nullptr);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    exposeToScreenReaders(view, window);
    gtk_widget_show(GTK_WIDGET(view));
    return new GtkWebViewAdapter(view);
}
