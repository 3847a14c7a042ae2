// The status item on Linux desktops.
//
// A StatusNotifierItem on the session bus is what current panels show: the
// item owns org.kde.StatusNotifierItem-<pid>-1, exports /StatusNotifierItem,
// registers with org.kde.StatusNotifierWatcher, and registers again whenever
// a watcher appears. Activate is a left click and ContextMenu a right click;
// both reach the button's action as the release of that button. Many hosts
// show the item's exported menu instead of calling ContextMenu: that menu
// (libdbusmenu) is the delegate's own right-click menu, asked for afresh each
// time a host is about to show it. The exported layout (its ids, its
// revision) changes only when the menu does: a host that sees it change
// while it opens the menu closes it again.
//
// While no watcher is on the bus, an XEmbed tray icon (GtkStatusIcon) stands
// in, with the same two clicks.
#include "platform/gtk/gtk_status_item.h"

#include <libdbusmenu-glib/dbusmenu-glib.h>
#include <unistd.h>

#include <algorithm>

namespace kestrix::platform::gtk {

namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kIconName = "kestrix-v3-tray";

constexpr const char* kItemInterfaceXml = R"XML(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="ProvideXdgActivationToken"><arg name="token" type="s" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)XML";

// One ARGB32 image in network byte order, as IconPixmap carries it.
GVariant* pixmapOf(const std::string& file, int size) {
    g_autoptr(GdkPixbuf) pixbuf =
        gdk_pixbuf_new_from_file_at_size(file.c_str(), size, size, nullptr);
    if (!pixbuf) return nullptr;
    g_autoptr(GdkPixbuf) rgba = gdk_pixbuf_get_has_alpha(pixbuf)
                                    ? g_object_ref(pixbuf)
                                    : gdk_pixbuf_add_alpha(pixbuf, FALSE, 0, 0, 0);
    const int width = gdk_pixbuf_get_width(rgba), height = gdk_pixbuf_get_height(rgba);
    const int stride = gdk_pixbuf_get_rowstride(rgba);
    const guchar* pixels = gdk_pixbuf_read_pixels(rgba);
    std::vector<guchar> argb(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const guchar* p = pixels + y * stride + x * 4;
            guchar* q =
                argb.data() +
                (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
            q[0] = p[3];
            q[1] = p[0];
            q[2] = p[1];
            q[3] = p[2];
        }
    }
    GVariant* bytes =
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), sizeof(guchar));
    return g_variant_new("(ii@ay)", width, height, bytes);
}

}  // namespace

TrayStatusItem::TrayStatusItem(GtkApp& app) : app_(app) {
    iconFile_ = app.resourcesDirectory() + "/" + kIconName + ".svg";
    if (!g_file_test(iconFile_.c_str(), G_FILE_TEST_EXISTS)) iconFile_.clear();

    bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus_) {
        // No session bus: the XEmbed icon is all there is.
        setXEmbedVisible(true);
        return;
    }
    exportItem();
    exportMenu();
    watcherWatch_ = g_bus_watch_name_on_connection(
        bus_.get(), kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
        +[](GDBusConnection*, const gchar*, const gchar*, gpointer self) {
            static_cast<TrayStatusItem*>(self)->onWatcherAppeared();
        },
        +[](GDBusConnection*, const gchar*, gpointer self) {
            static_cast<TrayStatusItem*>(self)->onWatcherVanished();
        },
        this, nullptr);
}

TrayStatusItem::~TrayStatusItem() {
    remove();
    if (xembed_) g_signal_handlers_disconnect_by_data(xembed_.get(), this);
}

// The XEmbed icon is made the first time it is to be shown: most desktops
// never need it, and making it (a tray window, the icon's image) would
// otherwise hold up the start.
void TrayStatusItem::makeXEmbedIcon() {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    xembed_.reset(gtk_status_icon_new());
    gtk_status_icon_set_title(xembed_.get(), g_get_application_name());
    gtk_status_icon_set_tooltip_text(xembed_.get(), g_get_application_name());
    gtk_status_icon_set_visible(xembed_.get(), FALSE);
    if (hasImage_) gtk_status_icon_set_from_file(xembed_.get(), iconFile_.c_str());
    if (!description_.empty()) gtk_status_icon_set_name(xembed_.get(), description_.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_signal_connect(xembed_.get(), "activate", G_CALLBACK(+[](GtkStatusIcon*, void* self) {
                         static_cast<TrayStatusItem*>(self)->send(kEventTypeLeftMouseUp);
                     }),
                     this);
    g_signal_connect(xembed_.get(), "popup-menu",
                     G_CALLBACK(+[](GtkStatusIcon*, guint, guint, void* self) {
                         static_cast<TrayStatusItem*>(self)->send(kEventTypeRightMouseUp);
                     }),
                     this);
}

void TrayStatusItem::exportItem() {
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kItemInterfaceXml, nullptr);
    static const GDBusInterfaceVTable vtable = {
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
            GVariant*, GDBusMethodInvocation* invocation,
            gpointer self) { static_cast<TrayStatusItem*>(self)->onMethod(method, invocation); },
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
            GError**, gpointer self) -> GVariant* {
            return static_cast<TrayStatusItem*>(self)->property(property);
        },
        nullptr,
        {}};
    registration_ = g_dbus_connection_register_object(bus_.get(), kItemPath, node->interfaces[0],
                                                      &vtable, this, nullptr, nullptr);
    busName_ = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
    nameOwner_ =
        g_bus_own_name_on_connection(bus_.get(), busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
                                     nullptr, nullptr, nullptr, nullptr);
}

void TrayStatusItem::exportMenu() {
    menuServer_.reset(dbusmenu_server_new(kMenuPath));
    menuRoot_.reset(dbusmenu_menuitem_new());
    dbusmenu_server_set_root(menuServer_.get(), menuRoot_.get());
    g_signal_connect(menuRoot_.get(), DBUSMENU_MENUITEM_SIGNAL_ABOUT_TO_SHOW,
                     G_CALLBACK(+[](DbusmenuMenuitem*, gpointer self) -> gboolean {
                         return static_cast<TrayStatusItem*>(self)->rebuildExportedMenu();
                     }),
                     this);
}

void TrayStatusItem::onWatcherAppeared() {
    setXEmbedVisible(false);
    // Registered anew with every watcher that appears.
    g_dbus_connection_call(bus_.get(), kWatcherName, kWatcherPath, kWatcherName,
                           "RegisterStatusNotifierItem", g_variant_new("(s)", busName_.c_str()),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

void TrayStatusItem::onWatcherVanished() {
    if (!removed_) setXEmbedVisible(true);
}

void TrayStatusItem::setXEmbedVisible(bool visible) {
    if (!xembed_) {
        if (!visible || removed_) return;
        makeXEmbedIcon();
    }
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_status_icon_set_visible(xembed_.get(), visible && !removed_);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

bool TrayStatusItem::xembedVisible() const {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    return xembed_ && gtk_status_icon_get_visible(xembed_.get());
    G_GNUC_END_IGNORE_DEPRECATIONS
}

void TrayStatusItem::setImage(const std::string& symbolName, const std::string& description) {
    // The one system symbol the program asks for is shipped as an icon.
    hasImage_ = symbolName == "bolt.circle.fill" && !iconFile_.empty();
    description_ = description;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (xembed_ && hasImage_) gtk_status_icon_set_from_file(xembed_.get(), iconFile_.c_str());
    if (xembed_) gtk_status_icon_set_name(xembed_.get(), description.c_str());
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (bus_ && registration_)
        g_dbus_connection_emit_signal(bus_.get(), nullptr, kItemPath, "org.kde.StatusNotifierItem",
                                      "NewIcon", nullptr, nullptr);
}

void TrayStatusItem::setAction(std::function<void()> action) {
    action_ = std::move(action);
}

void TrayStatusItem::setMenuProvider(std::function<Menu()> provider) {
    menuProvider_ = std::move(provider);
    if (menuRoot_) rebuildExportedMenu();
}

void TrayStatusItem::send(int eventType) {
    if (!action_ || !(mask_ & (1u << eventType))) return;
    app_.dispatchEvent(eventType, action_);
}

void TrayStatusItem::onMethod(const std::string& method, GDBusMethodInvocation* invocation) {
    // The token a Wayland host hands over just before Activate, for the
    // window that it brings forward. Any peer on the bus may call this: a
    // token that the display server could not take in one message (4 KiB)
    // would cost us the connection, and so the program. Real ones are short
    // and printable.
    if (method == "ProvideXdgActivationToken") {
        const gchar* token = nullptr;
        g_variant_get(g_dbus_method_invocation_get_parameters(invocation), "(&s)", &token);
        const std::string_view text = token ? token : "";
        const bool plausible =
            text.size() <= 512 &&
            std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7f; });
        app_.setActivationToken(plausible ? std::string(text) : "");
    }
    // Answer first: the action may run a menu or a dialog of its own.
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (method == "Activate") {
        send(kEventTypeLeftMouseUp);
    } else if (method == "ContextMenu") {
        send(kEventTypeRightMouseUp);
    }
}

GVariant* TrayStatusItem::property(const std::string& name) {
    if (name == "Category") return g_variant_new_string("ApplicationStatus");
    if (name == "Id") return g_variant_new_string(app_.applicationId().c_str());
    if (name == "Title") return g_variant_new_string(g_get_application_name());
    if (name == "Status") return g_variant_new_string(removed_ ? "Passive" : "Active");
    if (name == "WindowId") return g_variant_new_int32(0);
    if (name == "IconName") return g_variant_new_string(hasImage_ ? kIconName : "");
    if (name == "IconThemePath")
        return g_variant_new_string(hasImage_ ? app_.resourcesDirectory().c_str() : "");
    if (name == "IconPixmap") return iconPixmaps();
    if (name == "OverlayIconName" || name == "AttentionIconName") return g_variant_new_string("");
    // No overlay or attention image (hosts such as LXQt's ask for them).
    if (name == "OverlayIconPixmap" || name == "AttentionIconPixmap")
        return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
    if (name == "ToolTip") {
        return g_variant_new("(s@a(iiay)ss)", hasImage_ ? kIconName : "", iconPixmaps(),
                             g_get_application_name(), "");
    }
    if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
    if (name == "Menu") return g_variant_new_object_path(kMenuPath);
    return nullptr;
}

GVariant* TrayStatusItem::iconPixmaps() {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
    if (hasImage_) {
        for (int size : {22, 32, 48}) {
            if (GVariant* pixmap = pixmapOf(iconFile_, size))
                g_variant_builder_add_value(&builder, pixmap);
        }
    }
    return g_variant_builder_end(&builder);
}

// The delegate's menu as it is now. The exported rows are made anew only
// when what they show has changed; otherwise they stay, with their ids,
// and only what they do is taken from the new menu. True when they changed.
bool TrayStatusItem::rebuildExportedMenu() {
    Menu menu = menuProvider_ ? menuProvider_() : Menu{};
    const auto sameRows = [](const Menu& a, const Menu& b) {
        return std::equal(a.items.begin(), a.items.end(), b.items.begin(), b.items.end(),
                          [](const MenuItem& x, const MenuItem& y) {
                              return x.isSeparator == y.isSeparator && x.title == y.title;
                          });
    };
    const bool changed = !exported_ || !sameRows(menu, exportedMenu_);
    exportedMenu_ = std::move(menu);
    if (!changed) return false;
    exported_ = true;
    {  // the old rows, released here
        g_autolist(GObject) old = dbusmenu_menuitem_take_children(menuRoot_.get());
    }
    for (size_t i = 0; i < exportedMenu_.items.size(); ++i) {
        const MenuItem& item = exportedMenu_.items[i];
        const Owned<DbusmenuMenuitem> owned(dbusmenu_menuitem_new());
        DbusmenuMenuitem* entry = owned.get();
        if (item.isSeparator) {
            dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_TYPE,
                                           DBUSMENU_CLIENT_TYPES_SEPARATOR);
        } else {
            dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_LABEL, item.title.c_str());
            g_object_set_data(G_OBJECT(entry), "kestrix-index",
                              GINT_TO_POINTER(static_cast<int>(i)));
            g_signal_connect(
                entry, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED,
                G_CALLBACK(+[](DbusmenuMenuitem* e, guint, gpointer self) {
                    static_cast<TrayStatusItem*>(self)->performExported(
                        GPOINTER_TO_INT(g_object_get_data(G_OBJECT(e), "kestrix-index")));
                }),
                this);
        }
        dbusmenu_menuitem_child_append(menuRoot_.get(), entry);
    }
    return true;
}

void TrayStatusItem::performExported(int index) {
    if (index < 0 || static_cast<size_t>(index) >= exportedMenu_.items.size()) return;
    // A copy: the action may rebuild the menu (or end the application).
    const std::function<void()> perform = exportedMenu_.items[static_cast<size_t>(index)].perform;
    if (perform) perform();
}

void TrayStatusItem::remove() {
    if (removed_) return;
    removed_ = true;
    // Without a display the XEmbed icon has gone with it.
    if (!app_.displayLost()) setXEmbedVisible(false);
    if (watcherWatch_) g_bus_unwatch_name(watcherWatch_);
    watcherWatch_ = 0;
    if (registration_) g_dbus_connection_unregister_object(bus_.get(), registration_);
    registration_ = 0;
    if (nameOwner_) g_bus_unown_name(nameOwner_);
    nameOwner_ = 0;
    menuRoot_.reset();
    menuServer_.reset();
    if (bus_) g_dbus_connection_flush_sync(bus_.get(), nullptr, nullptr);
    bus_.reset();
}

}  // namespace kestrix::platform::gtk
