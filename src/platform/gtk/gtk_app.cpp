#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/gtk/gtk_internal.h"
#include "platform/gtk/gtk_status_item.h"
#include "platform/gtk/gtk_window.h"
#include "platform/webkit/web_engine.h"

namespace kestrix::platform::gtk {

namespace {

// One name, whatever path started the program: the window's class (which
// docks match with the desktop entry) and the web engine's storage follow it.
void fixProgramName(const std::string& applicationId, const std::string& applicationName) {
    g_set_prgname(applicationId.c_str());
    g_set_application_name(applicationName.c_str());
}

}  // namespace

void GtkApp::adoptEarlierStorage(const std::string& applicationId) {
    // The panel's saved state used to live under the program's name as
    // started: the launcher command's, or the executable's.
    const std::string data = g_get_user_data_dir();
    const std::string storage = data + "/" + applicationId;
    if (g_file_test(storage.c_str(), G_FILE_TEST_EXISTS)) return;
    for (const char* earlier : {"kestrix-v3-shell", "KestrixV3NativeShell"})
        if (g_rename((data + "/" + earlier).c_str(), storage.c_str()) == 0) return;
}

GtkApp::GtkApp(std::string applicationId, const std::string& applicationName,
               std::string resourcesDirectory)
    : applicationId_((fixProgramName(applicationId, applicationName), std::move(applicationId))),
      resourcesDirectory_(std::move(resourcesDirectory)),
      application_(gtk_application_new(applicationId_.c_str(), G_APPLICATION_DEFAULT_FLAGS)),
      defaults_(glib::makeKeyFileUserDefaults(applicationId_)) {
    g_signal_connect(application_.get(), "activate", G_CALLBACK(onActivate), this);
    // The toolkit's start-up sets a class of its own from the program name.
    g_signal_connect_after(
        application_.get(), "startup", G_CALLBACK(+[](GApplication*, void* self) {
            gdk_set_program_class(static_cast<GtkApp*>(self)->applicationId().c_str());
        }),
        this);

    // The launcher's quit (the Dock's, where the program was designed), where
    // Linux launchers look for it: the application's exported "quit" action
    // (and, through the desktop entry's "Quit" action, the launcher's own
    // menu). The normal termination, once the caller has had its answer.
    g_autoptr(GSimpleAction) quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer self) {
                         auto* app = static_cast<GtkApp*>(self);
                         app->postToMainQueue([app] { app->terminate(); });
                     }),
                     this);
    g_action_map_add_action(G_ACTION_MAP(application_.get()), G_ACTION(quit));
}

std::string GtkApp::webEnginePath() const {
    g_autofree gchar* contents = g_path_get_dirname(resourcesDirectory_.c_str());
    return contents + std::string(webkit::kWebEngineModule);
}

GtkApp::~GtkApp() = default;

namespace {

gboolean onTerminationSignal(void* self) {
    static_cast<GtkApp*>(self)->terminate();
    return G_SOURCE_REMOVE;
}

}  // namespace

int GtkApp::run() {
    passOverSilentDesktopServices();
    // The system's request to end goes through the normal termination, from
    // the main loop rather than from an asynchronous handler.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(signal, onTerminationSignal, this);
    return g_application_run(G_APPLICATION(application_.get()), 0, nullptr);
}

// The first activation finishes launching; every later one, a second start
// of the application forwarded here, is a reopen.
void GtkApp::onActivate(GtkApplication*, void* data) {
    auto* self = static_cast<GtkApp*>(data);
    if (!self->delegate_) return;
    if (!self->launched_) {
        self->launched_ = true;
        endWithTheDisplay(*self);
        // Hidden windows still count, but the application must outlive
        // even a moment without a visible one.
        g_application_hold(G_APPLICATION(self->application_.get()));
        self->delegate_->applicationDidFinishLaunching();
        return;
    }
    const bool visible = self->mainWindow_ && self->mainWindow_->isVisible();
    self->delegate_->applicationShouldHandleReopen(visible);
}

void GtkApp::activateIgnoringOtherApps() {
    if (GtkWindow* window = mainGtkWindow(); window && gtk_widget_get_visible(GTK_WIDGET(window)))
        present(window);
}

void GtkApp::present(GtkWindow* window) {
    // A request from outside any event (over D-Bus: a tray host, a second
    // start) has no event time; window managers refuse or log a time of 0.
    guint32 time = gtk_get_current_event_time();
    GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window));
    if (time == GDK_CURRENT_TIME && surface && GDK_IS_X11_WINDOW(surface)) {
        // The user acted just now (a click on the tray icon, a start).
        time = gdk_x11_get_server_time(surface);
        gdk_x11_window_set_user_time(surface, time);
    }
    if (!activationToken_.empty()) {
        gtk_window_set_startup_id(window, activationToken_.c_str());
        activationToken_.clear();
    }
    gtk_window_present_with_time(window, time);
}

void GtkApp::terminate() {
    // A second request, from inside the first (a nested loop of a dialog),
    // waits for the first to end the process.
    if (terminating_) return;
    terminating_ = true;
    if (delegate_) delegate_->applicationWillTerminate();
    std::fflush(nullptr);
    // Answers already given over the bus (to a tray host, a launcher) must
    // leave before the process does.
    if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(application_.get())))
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    // The process ends here, as the platform's termination does: no
    // return into whatever asked for it, no destructors racing with the
    // service's watcher threads.
    _exit(0);
}

std::unique_ptr<Window> GtkApp::makeWindow(const WindowSpec& spec) {
    auto window = std::make_unique<GtkMainWindow>(*this, spec);
    mainWindow_ = window.get();
    return window;
}

GtkWindow* GtkApp::mainGtkWindow() const {
    return mainWindow_ ? mainWindow_->gtkWindow() : nullptr;
}

void GtkApp::dispatchEvent(int eventType, const std::function<void()>& action) {
    const std::optional<int> previous = currentEvent_;
    currentEvent_ = eventType;
    action();
    currentEvent_ = previous;
}

UserDefaults& GtkApp::standardUserDefaults() {
    return *defaults_;
}

namespace {

gboolean runPosted(void* data) {
    auto* work = static_cast<std::function<void()>*>(data);
    (*work)();
    return G_SOURCE_REMOVE;
}

void deletePosted(void* data) {
    delete static_cast<std::function<void()>*>(data);
}

}  // namespace

void GtkApp::waitUntil(const std::function<bool()>& done,
                       std::chrono::steady_clock::time_point deadline) {
    // A nested loop, as a modal dialog runs one; a tick wakes it to look at
    // `done`, which another thread makes true.
    const guint tick = g_timeout_add(
        5, [](void*) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
}

void GtkApp::postToMainQueue(std::function<void()> work) {
    // Always queued, never run in place: g_main_context_invoke would run it
    // on the calling thread whenever that thread could take the context.
    g_idle_add_full(G_PRIORITY_DEFAULT, runPosted, new std::function<void()>(std::move(work)),
                    deletePosted);
}

std::unique_ptr<StatusItem> GtkApp::makeStatusItem() {
    return std::make_unique<TrayStatusItem>(*this);
}

void GtkApp::removeStatusItem(StatusItem* item) {
    if (auto* tray = dynamic_cast<TrayStatusItem*>(item)) tray->remove();
}

}  // namespace kestrix::platform::gtk
