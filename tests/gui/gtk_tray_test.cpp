// The tray icon against a StatusNotifierWatcher of the tests' own on the
// private session bus, and its XEmbed stand-in when no watcher is there.
#include <gtest/gtest.h>
#include <unistd.h>

#include "gui/fake_watcher.h"
#include "gui/gui_support.h"
#include "platform/gtk/gtk_status_item.h"
#include "support/test_support.h"

// Last: Xlib's macros would clash with names in the headers above.
#include <gdk/gdkx.h>

namespace kestrix::test {
namespace {

using platform::gtk::GtkApp;
using platform::gtk::TrayStatusItem;

class Tray : public ::testing::Test {
protected:
    void SetUp() override {
        app = startGtkApp(h.dir / "config", "io.kestrix.V3NativeShell.Tray");
        ASSERT_TRUE(app) << "no display, or the application could not register";
        delegate = std::make_shared<AppDelegate>(*app, h.settings);
        app->setDelegate(delegate.get());
        delegate->createMainWindow();
    }

    TrayStatusItem* tray() const {
        return dynamic_cast<TrayStatusItem*>(delegate->statusItem.get());
    }
    bool windowVisible() const { return gtk_widget_get_visible(GTK_WIDGET(app->mainGtkWindow())); }
    void hideWindow() {
        gtk_window_close(app->mainGtkWindow());
        ASSERT_TRUE(iterateUntil([&] { return !windowVisible(); }));
    }

    // Arms a check that closes the next pop-up menu once it is on screen
    // and writes down its rows.
    struct PoppedMenu {
        std::vector<std::string> rows;
        bool seen = false;
    };
    static void closeNextMenu(PoppedMenu* out) {
        g_timeout_add(20, [](gpointer data) -> gboolean {
                auto* popped = static_cast<PoppedMenu*>(data);
                GList* toplevels = gtk_window_list_toplevels();
                GtkMenu* menu = nullptr;
                for (GList* l = toplevels; l; l = l->next) {
                    if (!gtk_widget_get_visible(GTK_WIDGET(l->data))) continue;
                    GtkWidget* child = gtk_bin_get_child(GTK_BIN(l->data));
                    if (child && GTK_IS_MENU(child)) menu = GTK_MENU(child);
                }
                g_list_free(toplevels);
                if (!menu) return G_SOURCE_CONTINUE;
                GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
                for (GList* l = items; l; l = l->next)
                    popped->rows.emplace_back(GTK_IS_SEPARATOR_MENU_ITEM(l->data) ? "-"
                                              : gtk_menu_item_get_label(GTK_MENU_ITEM(l->data)));
                g_list_free(items);
                popped->seen = true;
                gtk_menu_shell_deactivate(GTK_MENU_SHELL(menu));
                return G_SOURCE_REMOVE;
            },
            out);
    }

    Harness h{""};
    std::unique_ptr<GtkApp> app;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(Tray, AnXEmbedIconUntilAWatcherComesThenAStatusNotifierItem) {
    // No watcher on the bus: the XEmbed icon takes both clicks.
    delegate->createStatusItem();
    ASSERT_TRUE(iterateUntil([&] { return tray()->xembedVisible(); }));
    hideWindow();
    g_signal_emit_by_name(tray()->xembedIcon(), "activate");
    EXPECT_TRUE(iterateUntil([&] { return windowVisible(); }));
    PoppedMenu popped;
    closeNextMenu(&popped);
    g_signal_emit_by_name(tray()->xembedIcon(), "popup-menu", 3u, 0u);
    ASSERT_TRUE(iterateUntil([&] { return popped.seen; }));
    EXPECT_EQ(popped.rows, (std::vector<std::string>{"打开面板", "-", "退出"}));

    // A watcher that turns up takes over from it.
    FakeWatcher watcher;
    ASSERT_TRUE(iterateUntil([&] { return !watcher.registered.empty(); }));
    EXPECT_FALSE(tray()->xembedVisible());
    const std::string name = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-1";
    EXPECT_EQ(watcher.registered.front(), name);
    // Activate is the left click: the hidden window comes back.
    hideWindow();
    g_variant_unref(watcher.call(name, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                 "Activate", g_variant_new("(ii)", 10, 10)));
    EXPECT_TRUE(iterateUntil([&] { return windowVisible(); }));
    // Brought forward with a real time, though no event carried one.
    EXPECT_NE(gdk_x11_display_get_user_time(gdk_display_get_default()), 0u);
    // The exported menu, which hosts show on a right click, is the same;
    // its first row shows the window.
    guint32 revision = 0, again = 0;
    const auto rows = watcher.exportedMenu(name, &revision);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].second + rows[1].second + rows[2].second, "打开面板-退出");
    // Opened again, nothing changed: the same rows, ids and revision, and no
    // LayoutUpdated (after which some hosts close the menu they opened).
    iterateUntil([] { return false; }, 300ms);  // what the first export sent
    const int updates = watcher.layoutUpdates;
    EXPECT_EQ(watcher.exportedMenu(name, &again), rows);
    iterateUntil([] { return false; }, 300ms);
    EXPECT_EQ(again, revision);
    EXPECT_EQ(watcher.layoutUpdates, updates);
    hideWindow();
    watcher.clickExported(name, rows[0].first);
    EXPECT_TRUE(iterateUntil([&] { return windowVisible(); }));

    // Leaving the tray gives the name back.
    app->removeStatusItem(delegate->statusItem.get());
    EXPECT_TRUE(iterateUntil([&] { return !watcher.nameHasOwner(name); }));
}

}  // namespace
}  // namespace kestrix::test
