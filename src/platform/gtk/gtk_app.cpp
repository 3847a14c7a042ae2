#include <X11/Xlib.h>
#include <gdk/gdkwayland.h>
#include <gdk/gdkx.h>
#include <poll.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/gtk/gtk_internal.h"
#include "platform/gtk/gtk_web_engine.h"
#include "platform/gtk/gtk_window.h"

namespace kestrix::platform::gtk {

namespace {

// One name, whatever path started the program: the window's class (which
// docks match with the desktop entry) and the web engine's storage follow it.
void fixProgramName(const std::string& applicationId) {
    g_set_prgname(applicationId.c_str());
    g_set_application_name(text::kProductName);
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

GtkApp::GtkApp(std::string applicationId, std::string resourcesDirectory)
    : applicationId_((fixProgramName(applicationId), std::move(applicationId))),
      resourcesDirectory_(std::move(resourcesDirectory)),
      application_(gtk_application_new(applicationId_.c_str(), G_APPLICATION_DEFAULT_FLAGS)),
      defaults_(makeKeyFileUserDefaults(applicationId_)) {
    g_signal_connect(application_, "activate", G_CALLBACK(onActivate), this);
    // The toolkit's start-up sets a class of its own from the program name.
    g_signal_connect_after(
        application_, "startup", G_CALLBACK(+[](GApplication*, void* self) {
            gdk_set_program_class(static_cast<GtkApp*>(self)->applicationId().c_str());
        }),
        this);

    // The Dock menu's entry, offered where Linux launchers look for it: as
    // the application's exported "quit" action (and, through the desktop
    // entry's "Quit" action, from the launcher's own menu).
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect(quit, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer self) {
                         // Once the caller has had its answer.
                         auto* app = static_cast<GtkApp*>(self);
                         app->postToMainQueue([app] { app->performDockMenuAction("quitApp"); });
                     }),
                     this);
    g_action_map_add_action(G_ACTION_MAP(application_), G_ACTION(quit));
    g_object_unref(quit);
}

void GtkApp::performDockMenuAction(const std::string& actionName) {
    if (!delegate_) return;
    const Menu menu = delegate_->applicationDockMenu();
    for (const MenuItem& item : menu.items)
        if (item.actionName == actionName && item.perform) item.perform();
}

std::string GtkApp::webEnginePath() const {
    gchar* contents = g_path_get_dirname(resourcesDirectory_.c_str());
    std::string path = contents + std::string(kWebEngineModule);
    g_free(contents);
    return path;
}

GtkApp::~GtkApp() {
    g_object_unref(application_);
}

namespace {

gboolean onTerminationSignal(void* self) {
    static_cast<GtkApp*>(self)->terminate();
    return G_SOURCE_REMOVE;
}

// The application that a lost X connection ends. (The toolkit's own handler
// would end the process at once, leaving the service to run on.)
GtkApp* gDisplayOwner = nullptr;

int onDisplayLost(Display*) {
    if (gDisplayOwner) gDisplayOwner->terminateWithoutDisplay();
    _exit(1);
}

// A Wayland display that goes away ends the process from the toolkit's
// event source, with no handler of ours; the keeper, its lifeline cut, then
// stops the service. But while the toolkit waits on the display in a loop
// of its own (the activation token it asks for as a window is presented
// without one), a connection that dies makes that loop spin for good: the
// process would never end, and the service would run on. A thread of ours
// sees the connection hang up and, should the process still be there a
// moment later, ends it.
void watchWaylandConnection(GdkDisplay* display) {
    if (!GDK_IS_WAYLAND_DISPLAY(display)) return;
    const int fd = wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
    std::thread([fd] {
        pollfd connection{fd, 0, 0};
        while (::poll(&connection, 1, -1) < 0 && errno == EINTR) {
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::fprintf(stderr, "KestrixV3NativeShell: the Wayland display has gone; ending\n");
        std::_Exit(1);
    }).detach();
}

}  // namespace

namespace {

// Two names the toolkit and the web engine call at their start with the
// bus's own time-out (25 s), on the main thread: a desktop service that owns
// one and never answers would hold the window and the panel back that long.
constexpr const char* kAccessibilityBus = "org.a11y.Bus";
constexpr const char* kDesktopPortal = "org.freedesktop.portal.Desktop";
constexpr int kAnswerWithinMs = 800;
// Which of the two do not answer (bits 1 and 2).
int gSilent = 0;
// The names that do not answer, well-known and, once known, unique (a proxy
// calls its owner by the unique one).
std::vector<std::string> gSilentNames;
constexpr const char* kNobody = "io.kestrix.V3NativeShell.NobodyHere";

bool isSilent(const char* name) {
    return name && std::find(gSilentNames.begin(), gSilentNames.end(), name) != gSilentNames.end();
}

// A name that does not answer is made to look unowned: calls to it go to a
// name nobody owns, and asking the bus for its owner, or to start it, asks
// about that name; the bus refuses at once, and whoever asked goes on
// without it.
GDBusMessage* passOverSilentNames(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                  void*) {
    if (incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL)
        return message;
    const char* destination = g_dbus_message_get_destination(message);
    GVariant* body = g_dbus_message_get_body(message);
    // The bus's GetNameOwner (s) and StartServiceByName (su) name it first.
    const char* asked = nullptr;
    guint32 startFlags = 0;
    const bool toBus = g_strcmp0(destination, "org.freedesktop.DBus") == 0 && body;
    if (toBus && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")))
        g_variant_get(body, "(&s)", &asked);
    else if (toBus && g_variant_is_of_type(body, G_VARIANT_TYPE("(su)")))
        g_variant_get(body, "(&su)", &asked, &startFlags);
    if (!isSilent(destination) && !isSilent(asked)) return message;
    GDBusMessage* changed = g_dbus_message_copy(message, nullptr);
    g_object_unref(message);
    if (!changed) return nullptr;
    if (isSilent(asked)) {
        g_dbus_message_set_body(changed, g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))
                                             ? g_variant_new("(s)", kNobody)
                                             : g_variant_new("(su)", kNobody, startFlags));
    } else {
        g_dbus_message_set_destination(changed, kNobody);
        g_dbus_message_set_flags(changed, GDBusMessageFlags(g_dbus_message_get_flags(changed) |
                                                            G_DBUS_MESSAGE_FLAGS_NO_AUTO_START));
    }
    return changed;
}

}  // namespace

// Asks both names at once, with a bound of 0.8 s (the bus starts one
// that is activatable, as the toolkit's own call would): one that does not
// answer is passed over for the program's life, and standard error says so.
void GtkApp::passOverSilentDesktopServices() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return;
    struct Ask {
        int bit;
        bool done = false;
    } asks[] = {{1}, {2}};
    for (Ask& ask : asks)
        g_dbus_connection_call(
            bus, ask.bit == 1 ? kAccessibilityBus : kDesktopPortal, "/",
            "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
            kAnswerWithinMs, nullptr,
            [](GObject* source, GAsyncResult* result, void* data) {
                auto* ask = static_cast<Ask*>(data);
                GError* error = nullptr;
                GVariant* reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) gSilent |= ask->bit;
                if (reply) g_variant_unref(reply);
                g_clear_error(&error);
                ask->done = true;
            },
            &ask);
    while (!asks[0].done || !asks[1].done) g_main_context_iteration(nullptr, TRUE);
    if (gSilent & 1) {
        // The toolkit's bridge has a connection of its own: it is left out.
        g_setenv("NO_AT_BRIDGE", "1", TRUE);
        std::fprintf(stderr,
                     "kestrix-v3-shell: the accessibility bus (%s) does not answer; screen "
                     "readers cannot reach this window until the program is started again\n",
                     kAccessibilityBus);
    }
    if (gSilent & 2)
        std::fprintf(stderr,
                     "kestrix-v3-shell: the desktop portal (%s) does not answer; the program "
                     "does not wait for it (it uses nothing the portal offers)\n",
                     kDesktopPortal);
    for (const int bit : {1, 2}) {
        if (!(gSilent & bit)) continue;
        const char* name = bit == 1 ? kAccessibilityBus : kDesktopPortal;
        gSilentNames.emplace_back(name);
        GVariant* owner = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NONE, kAnswerWithinMs, nullptr, nullptr);
        if (!owner) continue;
        const char* unique = nullptr;
        g_variant_get(owner, "(&s)", &unique);
        gSilentNames.emplace_back(unique);
        g_variant_unref(owner);
    }
    // The shared connection, which the application takes over: kept for
    // the program's life with its filter.
    if (gSilent) g_dbus_connection_add_filter(bus, passOverSilentNames, nullptr, nullptr);
}

int GtkApp::run() {
    passOverSilentDesktopServices();
    // The system's request to end goes through the normal termination, from
    // the main loop rather than from an asynchronous handler.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(signal, onTerminationSignal, this);
    return g_application_run(G_APPLICATION(application_), 0, nullptr);
}

// The first activation finishes launching; every later one, a second start
// of the application forwarded here, is a reopen.
void GtkApp::onActivate(GtkApplication*, void* data) {
    auto* self = static_cast<GtkApp*>(data);
    if (!self->delegate_) return;
    if (!self->launched_) {
        self->launched_ = true;
        if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) {
            gDisplayOwner = self;
            XSetIOErrorHandler(onDisplayLost);
        }
        watchWaylandConnection(gdk_display_get_default());
        // Hidden windows still count, but the application must outlive
        // even a moment without a visible one.
        g_application_hold(G_APPLICATION(self->application_));
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

void GtkApp::terminateWithoutDisplay() {
    displayLost_ = true;
    terminating_ = false;  // even from inside an earlier termination
    terminate();
    _exit(0);
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
    if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(application_)))
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

long GtkApp::runModalAlert(const AlertSpec& alert) {
    GtkWindow* parent = mainGtkWindow();
    if (parent && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;
    GtkWidget* dialog = makeAlertDialog(parent, alert);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog),
                            parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    int response;
    long answer;
    do {
        response = gtk_dialog_run(GTK_DIALOG(dialog));
        answer = alertResponse(alert, response);
    } while (answer < 0 && response == GTK_RESPONSE_DELETE_EVENT);
    gtk_widget_destroy(dialog);
    // Gone some other way (its display lost): the last button, as a quit.
    return answer >= 0 ? answer
                       : kAlertFirstButtonReturn + static_cast<long>(alert.buttons.size()) - 1;
}

void GtkApp::dispatchEvent(int eventType, const std::function<void()>& action) {
    const std::optional<int> previous = currentEvent_;
    currentEvent_ = eventType;
    action();
    currentEvent_ = previous;
}

namespace {

struct PopUp {
    GMainLoop* loop;
};

void onMenuDeactivate(GtkMenuShell*, void* data) {
    g_main_loop_quit(static_cast<PopUp*>(data)->loop);
}

}  // namespace

void GtkApp::popUpMenuAtPointer(const Menu& menu) {
    int chosen = -1;
    GtkWidget* gtkMenu = buildGtkMenu(menu, &chosen);
    PopUp popUp{g_main_loop_new(nullptr, FALSE)};
    g_signal_connect(gtkMenu, "deactivate", G_CALLBACK(onMenuDeactivate), &popUp);
    gtk_widget_show_all(gtkMenu);
    if (GdkEvent* event = gtk_get_current_event()) {
        gtk_menu_popup_at_pointer(GTK_MENU(gtkMenu), event);
        gdk_event_free(event);
    } else {
        // Asked from outside any event (a tray host over D-Bus): anchor the
        // menu at the pointer's place on the screen.
        GdkDisplay* display = gdk_display_get_default();
        GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(display));
        GdkRectangle at{0, 0, 1, 1};
        gdk_device_get_position(pointer, nullptr, &at.x, &at.y);
        gtk_menu_popup_at_rect(GTK_MENU(gtkMenu), gdk_get_default_root_window(), &at,
                               GDK_GRAVITY_NORTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
    }
    if (gtk_widget_get_visible(gtkMenu)) g_main_loop_run(popUp.loop);
    g_main_loop_unref(popUp.loop);
    gtk_widget_destroy(gtkMenu);
    // The chosen entry acts once the menu has closed.
    if (chosen >= 0 && static_cast<size_t>(chosen) < menu.items.size()) {
        const auto& item = menu.items[static_cast<size_t>(chosen)];
        if (item.perform) item.perform();
    }
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
    const guint tick = g_timeout_add(5, [](void*) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
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

GtkWidget* buildGtkMenu(const Menu& menu, int* chosen) {
    GtkWidget* gtkMenu = gtk_menu_new();
    for (size_t i = 0; i < menu.items.size(); ++i) {
        const MenuItem& item = menu.items[i];
        GtkWidget* entry = item.isSeparator ? gtk_separator_menu_item_new()
                                            : gtk_menu_item_new_with_label(item.title.c_str());
        if (!item.isSeparator) {
            g_object_set_data(G_OBJECT(entry), "kestrix-index",
                              GINT_TO_POINTER(static_cast<int>(i)));
            g_signal_connect(entry, "activate", G_CALLBACK(+[](GtkMenuItem* e, void* out) {
                                 *static_cast<int*>(out) = GPOINTER_TO_INT(
                                     g_object_get_data(G_OBJECT(e), "kestrix-index"));
                             }),
                             chosen);
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(gtkMenu), entry);
    }
    return gtkMenu;
}

}  // namespace kestrix::platform::gtk
