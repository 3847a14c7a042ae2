// A StatusNotifierWatcher of the tests' own on the private session bus: it
// records every item that registers, as a panel's watcher would.
#pragma once

#include <gio/gio.h>

#include <string>
#include <utility>
#include <vector>

namespace kestrix::test {

class FakeWatcher {
public:
    FakeWatcher() {
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(R"XML(
<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
</interface></node>)XML",
                                                                     nullptr);
        static const GDBusInterfaceVTable vtable = {
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
                auto* watcher = static_cast<FakeWatcher*>(self);
                if (std::string(method) == "RegisterStatusNotifierItem") {
                    const gchar* service = nullptr;
                    g_variant_get(parameters, "(&s)", &service);
                    watcher->registered.emplace_back(service);
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr,
            nullptr,
            {}};
        registration_ = g_dbus_connection_register_object(
            bus_, "/StatusNotifierWatcher", node->interfaces[0], &vtable, this, nullptr, nullptr);
        owner_ = g_bus_own_name_on_connection(
            bus_, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, gpointer self) {
                static_cast<FakeWatcher*>(self)->owned = true;
            },
            nullptr, this, nullptr);
        updates_ = g_dbus_connection_signal_subscribe(
            bus_, nullptr, "com.canonical.dbusmenu", "LayoutUpdated", nullptr, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                gpointer self) { ++static_cast<FakeWatcher*>(self)->layoutUpdates; },
            this, nullptr);
    }
    ~FakeWatcher() {
        g_dbus_connection_signal_unsubscribe(bus_, updates_);
        g_bus_unown_name(owner_);
        g_dbus_connection_unregister_object(bus_, registration_);
        g_object_unref(bus_);
    }

    // Calls `method` on `name` and returns the reply, or null. The main
    // context runs meanwhile, so the callee may live in this very process.
    GVariant* call(const std::string& name, const char* path, const char* interface,
                   const char* method, GVariant* parameters) {
        struct Reply {
            bool done = false;
            GVariant* value = nullptr;
        } reply;
        g_dbus_connection_call(
            bus_, name.c_str(), path, interface, method, parameters, nullptr,
            G_DBUS_CALL_FLAGS_NONE, 10000, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
                auto* out = static_cast<Reply*>(data);
                out->value =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
                out->done = true;
            },
            &reply);
        while (!reply.done) g_main_context_iteration(nullptr, TRUE);
        return reply.value;
    }
    // The same without the reply: whether there was one.
    bool send(const std::string& name, const char* path, const char* interface, const char* method,
              GVariant* parameters) {
        GVariant* reply = call(name, path, interface, method, parameters);
        if (reply) g_variant_unref(reply);
        return reply != nullptr;
    }
    // The rows of `name`'s exported menu, as a host about to show it reads
    // them: (id, label), with "-" for a separator; and the layout's revision.
    std::vector<std::pair<int, std::string>> exportedMenu(const std::string& name,
                                                          guint32* revision = nullptr) {
        send(name, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
        const gchar* const noProperties[] = {nullptr};
        g_autoptr(GVariant) layout = call(name, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                          g_variant_new("(ii^as)", 0, -1, noProperties));
        std::vector<std::pair<int, std::string>> rows;
        if (!layout) return rows;
        g_autoptr(GVariantIter) children = nullptr;
        g_variant_get(layout, "(u(ia{sv}av))", revision, nullptr, nullptr, &children);
        GVariant* child = nullptr;
        while (g_variant_iter_loop(children, "v", &child)) {
            gint32 id = 0;
            g_autoptr(GVariant) properties = nullptr;
            g_variant_get(child, "(i@a{sv}av)", &id, &properties, nullptr);
            const gchar *type = "", *label = "(no label)";
            g_variant_lookup(properties, "type", "&s", &type);
            g_variant_lookup(properties, "label", "&s", &label);
            rows.emplace_back(id, std::string(type) == "separator" ? "-" : label);
        }
        return rows;
    }

    // Clicks row `id` of `name`'s exported menu.
    void clickExported(const std::string& name, int id) {
        send(name, "/MenuBar", "com.canonical.dbusmenu", "Event",
             g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u));
    }

    bool nameHasOwner(const std::string& name) {
        g_autoptr(GVariant) reply =
            call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "NameHasOwner", g_variant_new("(s)", name.c_str()));
        gboolean has = FALSE;
        if (reply) g_variant_get(reply, "(b)", &has);
        return has;
    }

    std::vector<std::string> registered;
    bool owned = false;
    int layoutUpdates = 0;

private:
    GDBusConnection* bus_ = nullptr;
    guint registration_ = 0;
    guint owner_ = 0;
    guint updates_ = 0;
};

}  // namespace kestrix::test
