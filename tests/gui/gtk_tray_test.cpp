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

// The startup-notification messages that reach the X server's root window
// (each in pieces of 20 bytes, ending in a NUL), read on a connection of the
// test's own.
class StartupMessages {
public:
    StartupMessages() : display_(XOpenDisplay(nullptr)) {
        XSelectInput(display_, DefaultRootWindow(display_), PropertyChangeMask);
        XSync(display_, False);
    }
    ~StartupMessages() { XCloseDisplay(display_); }
    // Whether what has come so far holds `text`.
    bool have(const std::string& text) {
        for (XEvent event; XPending(display_);)
            if (XNextEvent(display_, &event); event.type == ClientMessage)
                received_.append(event.xclient.data.b, sizeof event.xclient.data.b);
        return received_.find(text) != std::string::npos;
    }

private:
    Display* display_;
    std::string received_;
};

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
    // and writes down its rows ("-" for a separator).
    static void closeNextMenu(std::vector<std::string>* rows) {
        g_timeout_add(
            20,
            [](gpointer rows) -> gboolean {
                g_autoptr(GList) toplevels = gtk_window_list_toplevels();
                for (GList* l = toplevels; l; l = l->next) {
                    GtkWidget* menu = gtk_bin_get_child(GTK_BIN(l->data));
                    if (!gtk_widget_get_visible(GTK_WIDGET(l->data)) || !menu || !GTK_IS_MENU(menu))
                        continue;
                    g_autoptr(GList) items = gtk_container_get_children(GTK_CONTAINER(menu));
                    for (GList* i = items; i; i = i->next)
                        static_cast<std::vector<std::string>*>(rows)->emplace_back(
                            GTK_IS_SEPARATOR_MENU_ITEM(i->data)
                                ? "-"
                                : gtk_menu_item_get_label(GTK_MENU_ITEM(i->data)));
                    gtk_menu_shell_deactivate(GTK_MENU_SHELL(menu));
                    return G_SOURCE_REMOVE;
                }
                return G_SOURCE_CONTINUE;
            },
            rows);
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
    std::vector<std::string> popped;
    closeNextMenu(&popped);
    g_signal_emit_by_name(tray()->xembedIcon(), "popup-menu", 3u, 0u);
    ASSERT_TRUE(iterateUntil([&] { return !popped.empty(); }));
    EXPECT_EQ(popped, (std::vector<std::string>{"打开面板", "-", "退出"}));

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
    // A host's activation token goes with the window that it brings forward
    // to the display server (here, X11's startup notification) when it
    // could be a real one (printable, 512 bytes at most: any peer may call,
    // and a display server takes a few KiB a message); else none does.
    StartupMessages toTheServer;
    for (const auto& [token, taken] : {std::pair{std::string("kestrix-host-1"), true},
                                       {std::string(512, 't'), true},
                                       {std::string(513, 'u'), false},
                                       {std::string("with a space"), false}}) {
        hideWindow();
        g_variant_unref(watcher.call(name, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                     "ProvideXdgActivationToken",
                                     g_variant_new("(s)", token.c_str())));
        g_variant_unref(watcher.call(name, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                     "Activate", g_variant_new("(ii)", 0, 0)));
        ASSERT_TRUE(iterateUntil([&] { return windowVisible(); }));
        const auto sent = [&] { return toTheServer.have("ID=\"" + token + "\""); };
        EXPECT_EQ(iterateUntil(sent, taken ? 5s : 500ms), taken) << token.size();
    }
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
