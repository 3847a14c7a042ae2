// Owns the bus names it is given and never answers a call: a desktop
// service that hangs. Says "owned" on standard output once it has them all;
// exits with status 2 where one has an owner already.
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 1;
    // Every call that comes in is dropped before anything could answer it.
    g_dbus_connection_add_filter(
        bus,
        [](GDBusConnection*, GDBusMessage* message, gboolean incoming, void*) -> GDBusMessage* {
            if (!incoming || g_dbus_message_get_message_type(message) !=
                                 G_DBUS_MESSAGE_TYPE_METHOD_CALL)
                return message;
            g_object_unref(message);
            return nullptr;
        },
        nullptr, nullptr);
    for (int i = 1; i < argc; ++i) {
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", argv[i], 4u /* do not queue */),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        guint32 result = 0;
        if (reply) g_variant_get(reply, "(u)", &result), g_variant_unref(reply);
        if (result != 1) return 2;  // not its primary owner: someone has it already
    }
    std::puts("owned");
    std::fflush(stdout);
    for (;;) ::pause();
}
