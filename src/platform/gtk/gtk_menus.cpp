// Menus shown by the program itself: the tray's, popped up at the pointer.
#include "platform/gtk/gtk_internal.h"

namespace kestrix::platform::gtk {

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
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    PopUp popUp{loop};
    g_signal_connect(gtkMenu, "deactivate", G_CALLBACK(onMenuDeactivate), &popUp);
    gtk_widget_show_all(gtkMenu);
    if (g_autoptr(GdkEvent) event = gtk_get_current_event()) {
        gtk_menu_popup_at_pointer(GTK_MENU(gtkMenu), event);
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
    if (gtk_widget_get_visible(gtkMenu)) g_main_loop_run(loop);
    gtk_widget_destroy(gtkMenu);
    // The chosen entry acts once the menu has closed.
    if (chosen >= 0 && static_cast<size_t>(chosen) < menu.items.size()) {
        const auto& item = menu.items[static_cast<size_t>(chosen)];
        if (item.perform) item.perform();
    }
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
