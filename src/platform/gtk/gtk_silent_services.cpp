// Desktop services that never answer, passed over: the window and the panel
// do not wait the bus's 25 s for them.
#include <gio/gio.h>

#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/gtk/gtk_internal.h"

namespace kestrix::platform::gtk {

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
    // The filter owns what it is given, and gives its copy back.
    g_autoptr(GDBusMessage) original = message;
    GDBusMessage* changed = g_dbus_message_copy(original, nullptr);
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
                g_autoptr(GError) error = nullptr;
                g_autoptr(GVariant) reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) gSilent |= ask->bit;
                ask->done = true;
            },
            &ask);
    while (!asks[0].done || !asks[1].done) g_main_context_iteration(nullptr, TRUE);
    if (gSilent & 1) {
        // The toolkit's bridge has a connection of its own: it is left out.
        g_setenv("NO_AT_BRIDGE", "1", TRUE);
        platform::warn(
            "the accessibility bus (%s) does not answer; screen "
            "readers cannot reach this window until the program is started again",
            kAccessibilityBus);
    }
    if (gSilent & 2)
        platform::warn(
            "the desktop portal (%s) does not answer; the program "
            "does not wait for it (it uses nothing the portal offers)",
            kDesktopPortal);
    for (const int bit : {1, 2}) {
        if (!(gSilent & bit)) continue;
        const char* name = bit == 1 ? kAccessibilityBus : kDesktopPortal;
        gSilentNames.emplace_back(name);
        g_autoptr(GVariant) owner = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetNameOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NONE, kAnswerWithinMs, nullptr, nullptr);
        if (!owner) continue;
        const char* unique = nullptr;
        g_variant_get(owner, "(&s)", &unique);
        gSilentNames.emplace_back(unique);
    }
    // The shared connection, which the application takes over: kept for
    // the program's life with its filter.
    if (gSilent) g_dbus_connection_add_filter(bus, passOverSilentNames, nullptr, nullptr);
}

}  // namespace kestrix::platform::gtk
