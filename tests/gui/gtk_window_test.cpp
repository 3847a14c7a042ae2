// The GTK adapter for real, under Xvfb: the window and its page, hide and
// reopen, the panel of the stand-in service, alerts, the page's dialogs, the
// user defaults and the proxy the panel is reached by.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <filesystem>

#include "gui/gui_support.h"
#include "platform/gtk/gtk_internal.h"
#include "support/test_support.h"

// Last: Xlib's macros would clash with names in the headers above.
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

namespace kestrix::test {
namespace {

class GtkShell : public ::testing::Test {
protected:
    void SetUp() override {
        app = startGtkApp(h.dir / "config", "io.kestrix.V3NativeShell.Test");
        ASSERT_TRUE(app) << "no display, or the application could not register";
        // Seen the tip already, so that launching shows nothing modal.
        app->standardUserDefaults().setBool(true, kFirstRunTipKey);
        delegate = std::make_shared<AppDelegate>(*app, h.settings);
        app->setDelegate(delegate.get());
    }
    void TearDown() override {
        if (delegate) delegate->terminateBackend();
    }

    GtkWindow* window() const { return app->mainGtkWindow(); }
    // The engine comes up from the main loop once the window is made.
    WebKitWebView* webView() const {
        iterateUntil([&] { return gtk_bin_get_child(GTK_BIN(window())) != nullptr; });
        return WEBKIT_WEB_VIEW(gtk_bin_get_child(GTK_BIN(window())));
    }
    bool pageLoaded() const {
        return !webkit_web_view_is_loading(webView()) &&
               webkit_web_view_get_estimated_load_progress(webView()) >= 1.0;
    }
    void loadPage(const char* html) {
        webkit_web_view_load_html(webView(), html, "http://127.0.0.1/");
        ASSERT_TRUE(iterateUntil([&] { return pageLoaded(); }));
    }

    // Evaluates `script` in the page; its value as text arrives later.
    struct Evaluation {
        bool done = false;
        std::string value;
    };
    std::shared_ptr<Evaluation> evaluate(const std::string& script) {
        auto result = std::make_shared<Evaluation>();
        webkit_web_view_evaluate_javascript(
            webView(), script.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* res, gpointer data) {
                std::unique_ptr<std::shared_ptr<Evaluation>> out(
                    static_cast<std::shared_ptr<Evaluation>*>(data));
                g_autoptr(JSCValue) value = webkit_web_view_evaluate_javascript_finish(
                    WEBKIT_WEB_VIEW(source), res, nullptr);
                g_autofree char* text = value ? jsc_value_to_string(value) : g_strdup("(error)");
                (*out)->value = text;
                (*out)->done = true;
            },
            new std::shared_ptr<Evaluation>(result));
        return result;
    }
    std::string evaluateNow(const std::string& script) {
        auto result = evaluate(script);
        EXPECT_TRUE(iterateUntil([&] { return result->done; }));
        return result->value;
    }

    // The visible message dialog, if any, and what it shows: its message,
    // informative text and buttons, in the order added.
    static GtkMessageDialog* visibleDialog() {
        GtkMessageDialog* found = nullptr;
        g_autoptr(GList) toplevels = gtk_window_list_toplevels();
        for (GList* l = toplevels; l; l = l->next)
            if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
                found = GTK_MESSAGE_DIALOG(l->data);
        return found;
    }
    static std::vector<std::string> shown(GtkMessageDialog* dialog) {
        std::vector<std::string> texts;
        for (const char* property : {"text", "secondary-text"}) {
            g_autofree gchar* text = nullptr;
            g_object_get(dialog, property, &text, nullptr);
            if (text) texts.emplace_back(text);
        }
        for (int r = platform::kAlertFirstButtonReturn;; ++r) {
            GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), r);
            if (!button) break;
            texts.emplace_back(gtk_button_get_label(GTK_BUTTON(button)));
        }
        return texts;
    }
    static void click(GtkMessageDialog* dialog, long response) {
        gtk_button_clicked(GTK_BUTTON(
            gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), static_cast<int>(response))));
    }
    // Waits for the page's dialog, checks it and answers it.
    static void answer(const std::vector<std::string>& expected, long response) {
        ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
        EXPECT_EQ(shown(visibleDialog()), expected);
        click(visibleDialog(), response);
    }

    Harness h{KESTRIX_SERVICE_PATH};
    std::unique_ptr<platform::gtk::GtkApp> app;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(GtkShell, LaunchShowsTheStartingPageAndCloseHidesUntilReopen) {
    // A panel that does not answer yet: the starting page stays.
    ::setenv("KESTRIX_STUB_STATUS", "503", 1);
    g_application_activate(G_APPLICATION(app->gtkApplication()));  // the first: launching
    ASSERT_TRUE(
        iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window())) && pageLoaded(); }));
    EXPECT_STREQ(gtk_window_get_title(window()), "AI Kestrix V3.1 · 本机授权版");
    EXPECT_STREQ(atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(webView()))),
                 "AI Kestrix V3.1 · 本机授权版");
    EXPECT_TRUE(gtk_window_get_resizable(window()) && gtk_window_get_deletable(window()));
    EXPECT_EQ(evaluateNow("document.body.innerText.trim()"), "正在启动服务…");
    // Docks match the window to its launcher by this class, whatever
    // path started the program.
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()),
                              GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window()))), &hint));
    EXPECT_EQ(std::string(hint.res_name) + " " + hint.res_class,
              app->applicationId() + " " + app->applicationId());
    XFree(hint.res_name);
    XFree(hint.res_class);

    EXPECT_EQ(evaluateNow("window.mark = 'kept'"), "kept");
    gtk_window_close(window());  // the close button's delete-event
    ASSERT_TRUE(iterateUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window())); }));
    g_application_activate(G_APPLICATION(app->gtkApplication()));  // a second start: reopen
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_visible(GTK_WIDGET(window())) != 0; }));
    EXPECT_EQ(evaluateNow("window.mark"), "kept");  // the same page: nothing reloaded
    EXPECT_EQ(pidsFromFile(h.pidFile).size(), 1u);
}

TEST_F(GtkShell, ModalAlertShowsItsTextsAndAnswersByButtonOrderAndEscapeOnlyWhereItMeansCancel) {
    delegate->createMainWindow();
    // Escape (the dialog's close), then, while it is still up, the first button.
    const auto escapeThenFirst = [](std::vector<std::string>* seen) {
        g_timeout_add(
            20,
            [](gpointer data) -> gboolean {
                GtkMessageDialog* dialog = visibleDialog();
                if (!dialog) return G_SOURCE_CONTINUE;
                auto* out = static_cast<std::vector<std::string>*>(data);
                if (out->empty()) {
                    *out = shown(dialog);
                    // What a screen reader announces, and whether it is modal.
                    out->emplace_back(
                        atk_object_get_name(gtk_widget_get_accessible(GTK_WIDGET(dialog))));
                    out->emplace_back(gtk_window_get_modal(GTK_WINDOW(dialog)) ? "modal"
                                                                               : "modeless");
                    g_signal_emit_by_name(dialog, "close");
                    return G_SOURCE_CONTINUE;
                }
                click(dialog, platform::kAlertFirstButtonReturn);
                return G_SOURCE_REMOVE;
            },
            seen);
    };
    std::vector<std::string> seen;
    escapeThenFirst(&seen);
    EXPECT_EQ(
        app->runModalAlert(
            {"后端服务意外退出", "控制面板后端已停止，隧道可能已断开。", {"重新启动", "退出"}}),
        platform::kAlertFirstButtonReturn);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"后端服务意外退出", "控制面板后端已停止，隧道可能已断开。",
                                        "重新启动", "退出", "后端服务意外退出", "modal"}));
    // Escape answers the button the alert names.
    for (const auto& [buttons, answer] :
         {std::pair{std::vector<std::string>{"确定", "取消"}, kSecondButton},
          std::pair{std::vector<std::string>{"退出"}, platform::kAlertFirstButtonReturn}}) {
        std::vector<std::string> more;
        escapeThenFirst(&more);
        const int escape = static_cast<int>(buttons.size()) - 1;
        EXPECT_EQ(app->runModalAlert({"问题", "", buttons, escape}), answer) << buttons.size();
    }
    // After a dialog as when the window opened, the keyboard is in the page.
    EXPECT_EQ(gtk_window_get_focus(window()), GTK_WIDGET(webView()));
}

TEST_F(GtkShell, PageDialogsAreAnsweredFromNativeDialogsOnTheWindow) {
    delegate->createMainWindow();
    loadPage("<html><body>dialogs</body></html>");
    for (const auto& [response, expected] : {std::pair{platform::kAlertFirstButtonReturn, "true"},
                                             std::pair{kSecondButton, "false"}}) {
        auto result = evaluate("confirm('要继续吗？')");
        ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(visibleDialog())), window());
        EXPECT_FALSE(result->done);  // the page waits for the answer
        answer({"要继续吗？", "确定", "取消"}, response);
        ASSERT_TRUE(iterateUntil([&] { return result->done; }));
        EXPECT_EQ(result->value, expected);
    }

    // An alert for the hidden window waits for it, its lines unchanged.
    gtk_window_close(window());
    auto alerted = evaluate("alert('第一行\\n第二行'); 'after'");
    iterateUntil([] { return false; }, 500ms);
    EXPECT_EQ(visibleDialog(), nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window())));
    delegate->showWindow();
    answer({"第一行\n第二行", "确定"}, platform::kAlertFirstButtonReturn);
    ASSERT_TRUE(iterateUntil([&] { return alerted->done; }));
    EXPECT_EQ(alerted->value, "after");

    // prompt() and a file input: no panel of our own.
    EXPECT_EQ(evaluateNow("String(prompt('名字？', 'x'))"), "null");
    evaluateNow(
        "const f = document.createElement('input'); f.type = 'file';"
        "document.body.appendChild(f); f.click(); 'clicked'");
    iterateUntil([] { return false; }, 500ms);
    g_autoptr(GList) toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next)
        EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(l->data)) && GTK_IS_FILE_CHOOSER(l->data));
    EXPECT_EQ(visibleDialog(), nullptr);

    // A download is refused: nothing is written.
    bool failed = false;
    g_signal_connect(webkit_web_view_get_context(webView()), "download-started",
                     G_CALLBACK(+[](WebKitWebContext*, WebKitDownload* download, bool* out) {
                         g_signal_connect_swapped(download, "failed",
                                                  G_CALLBACK(+[](bool* f) { *f = true; }), out);
                     }),
                     &failed);
    evaluateNow(
        "const a = document.createElement('a'); a.download = 'x.txt';"
        "a.href = 'data:text/plain,hello'; document.body.appendChild(a); a.click(); 'clicked'");
    EXPECT_TRUE(iterateUntil([&] { return failed; }, 10s));

    // A dialog whose page goes away meanwhile is answered once, harmlessly.
    evaluate("alert('from the first page')");
    ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
    webkit_web_view_load_html(webView(), "<html><body>second</body></html>", "http://127.0.0.1/");
    iterateUntil([] { return false; }, 500ms);
    if (GtkMessageDialog* dialog = visibleDialog())
        click(dialog, platform::kAlertFirstButtonReturn);
    ASSERT_TRUE(iterateUntil([&] { return pageLoaded() && visibleDialog() == nullptr; }));
    EXPECT_EQ(evaluateNow("document.body.textContent"), "second");
}

TEST_F(GtkShell, OnceOurServiceHasEndedNoRequestOfThePageReachesWhoeverTakesItsPort) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: another account";
    // A panel that polls with fetch, beacons and WebSockets, keeps an
    // iframe on a page that redirects to it, and reloads itself.
    const int other = freePort();
    Listener redirector(other, [&] {
        return "HTTP/1.1 302 Found\r\nLocation: " + panelURL(h.settings) +
               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    });
    ::setenv(
        "KESTRIX_STUB_PAGE_SCRIPT",
        ("var f = document.body.appendChild(document.createElement('iframe'));"
         "setInterval(function () { fetch('/api/ping').catch(function () {});"
         " navigator.sendBeacon('/api/beacon'); new WebSocket('ws://' + location.host + '/ws');"
         " f.src = 'http://127.0.0.1:" +
         std::to_string(other) +
         "/?' + Date.now(); }, 100);"
         "setTimeout(function () { location.reload(); }, 1000);")
            .c_str(),
        1);
    const auto renders = [&] { return occurrences(readFile(h.logPath()), "panel rendered"); };
    g_application_activate(G_APPLICATION(app->gtkApplication()));
    ASSERT_TRUE(iterateUntil([&] { return renders() >= 2; }));  // and reloaded itself

    // Our service ends, and another account takes its port at once; with
    // the exit alert up, the page keeps trying, and then the user reloads
    // the view. The other program ends, and the alert's 重新启动 brings our
    // panel back.
    struct Steps {
        std::string log, address;
        WebKitWebView* view;
        std::shared_ptr<Child> stranger = nullptr;
        std::string title = "";  // the page on screen, the view's reload refused
        int step = 0;
        std::chrono::steady_clock::time_point at{};
    } steps{h.dir / "stranger.log", panelAddress(h.settings), webView()};
    ::kill(delegate->backendPGID, SIGKILL);
    g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            auto& s = *static_cast<Steps*>(data);
            const auto now = std::chrono::steady_clock::now();
            const std::string& log = s.log;
            if (s.step == 0 && (!s.stranger || !s.stranger->isRunning())) {
                s.stranger = startCommand(asNobody({forAnyAccount(KESTRIX_SERVICE_PATH),
                                                    "--no-browser", "-dashboard-addr", s.address}),
                                          {}, log);
            } else if (s.step == 0 && readFile(log).find("listening") != std::string::npos) {
                s.step = 1, s.at = now;
            } else if (s.step == 1 && now - s.at > 2s && visibleDialog()) {
                webkit_web_view_reload(s.view);
                s.step = 2, s.at = now;
            } else if (s.step == 2 && now - s.at > 1s) {
                s.title = webkit_web_view_get_title(s.view);
                s.stranger->signal(SIGTERM);
                s.stranger->waitUntilExit();
                click(visibleDialog(), platform::kAlertFirstButtonReturn);
                return G_SOURCE_REMOVE;
            }
            return G_SOURCE_CONTINUE;
        },
        &steps);
    EXPECT_TRUE(iterateUntil([&] { return renders() >= 3; }, 60s));
    EXPECT_EQ(steps.title, "Kestrix V3.1 控制面板");
    const std::string strangers = readFile(h.dir / "stranger.log");
    EXPECT_NE(strangers.find("listening"), std::string::npos);
    EXPECT_EQ(strangers.find("] GET "), std::string::npos) << strangers;
    EXPECT_EQ(strangers.find("] POST "), std::string::npos) << strangers;
}

TEST_F(GtkShell, UserDefaultsLiveInARegularKeyFileUnderTheConfigDirectory) {
    auto& defaults = app->standardUserDefaults();
    EXPECT_TRUE(defaults.boolForKey(kFirstRunTipKey));
    const std::string file = h.dir / "config/io.kestrix.V3NativeShell.Test" +
                             std::to_string(::getpid()) + "/user-defaults.ini";
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_NE(readFile(file).find("kestrix.v3.native.didShowMenuBarTip=true"), std::string::npos);
    writeFile(file, "\x01 not a key file [");
    EXPECT_FALSE(defaults.boolForKey(kFirstRunTipKey));  // unreadable reads as NO
    // A FIFO there is neither opened (which would block) nor replaced.
    std::filesystem::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(defaults.boolForKey(kFirstRunTipKey));
    defaults.setBool(true, kFirstRunTipKey);
    struct stat st {};
    EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

TEST_F(GtkShell, TheStartingPageIsOnScreenBeforeThePanelReplacesItEvenWhenAskedAtOnce) {
    // (The panel reached past any proxy: RealApp.ShowsThePanelPastAnyProxy...)
    Listener panel(h.port(), httpStatus(200));
    delegate->createMainWindow();
    std::vector<std::string> commits;
    g_signal_connect(webView(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitLoadEvent event, void* out) {
                         if (event == WEBKIT_LOAD_COMMITTED)
                             static_cast<std::vector<std::string>*>(out)->push_back(
                                 webkit_web_view_get_uri(view));
                     }),
                     &commits);

    delegate->showPanel();
    ASSERT_TRUE(iterateUntil([&] { return panel.requestCount() > 0 && pageLoaded(); }));
    EXPECT_EQ(commits, (std::vector<std::string>{"about:blank", panelURL(h.settings)}));
    EXPECT_EQ(evaluateNow("document.body.textContent"), "test");
}

}  // namespace
}  // namespace kestrix::test
