// The GTK adapter for real, under Xvfb: the window and its page, hide and
// reopen, the panel of the stand-in service, modal alerts and the page's
// dialogs.
#include <gtest/gtest.h>
#include <unistd.h>

#include "gui/gui_support.h"
#include "platform/gtk/gtk_internal.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

using platform::gtk::GtkApp;

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
        // Let the web engine settle before the next test's window.
        iterateUntil([] { return false; }, 100ms);
    }

    GtkWindow* window() const { return app->mainGtkWindow(); }
    WebKitWebView* webView() const { return WEBKIT_WEB_VIEW(gtk_bin_get_child(GTK_BIN(window()))); }

    bool pageLoaded() const {
        return webView() && !webkit_web_view_is_loading(webView()) &&
               webkit_web_view_get_estimated_load_progress(webView()) >= 1.0;
    }

    // Evaluates `script` in the page and returns its value as text; waits
    // for the answer while the main loop runs.
    struct Evaluation {
        bool done = false;
        std::string value;
    };
    std::shared_ptr<Evaluation> evaluate(const std::string& script) {
        auto result = std::make_shared<Evaluation>();
        auto* holder = new std::shared_ptr<Evaluation>(result);
        webkit_web_view_evaluate_javascript(
            webView(), script.c_str(), -1, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* res, gpointer data) {
                auto* out = static_cast<std::shared_ptr<Evaluation>*>(data);
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(
                    WEBKIT_WEB_VIEW(source), res, nullptr);
                if (value) {
                    char* text = jsc_value_to_string(value);
                    (*out)->value = text ? text : "";
                    g_free(text);
                    g_object_unref(value);
                } else {
                    (*out)->value = "(error)";
                }
                (*out)->done = true;
                delete out;
            },
            holder);
        return result;
    }
    std::string evaluateNow(const std::string& script) {
        auto result = evaluate(script);
        EXPECT_TRUE(iterateUntil([&] { return result->done; }));
        return result->value;
    }

    // The visible message dialog, if any.
    static GtkMessageDialog* visibleDialog() {
        GtkMessageDialog* found = nullptr;
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* l = toplevels; l; l = l->next)
            if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data)))
                found = GTK_MESSAGE_DIALOG(l->data);
        g_list_free(toplevels);
        return found;
    }
    static std::string dialogText(GtkMessageDialog* dialog, const char* property) {
        gchar* text = nullptr;
        g_object_get(dialog, property, &text, nullptr);
        std::string result = text ? text : "";
        g_free(text);
        return result;
    }
    // The alert's buttons, in the order added (responses 1000, 1001, ...).
    static std::vector<GtkButton*> dialogButtons(GtkMessageDialog* dialog) {
        std::vector<GtkButton*> buttons;
        for (int response = platform::kAlertFirstButtonReturn;; ++response) {
            GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
            if (!button) break;
            buttons.push_back(GTK_BUTTON(button));
        }
        return buttons;
    }
    static std::vector<std::string> buttonLabels(GtkMessageDialog* dialog) {
        std::vector<std::string> labels;
        for (GtkButton* b : dialogButtons(dialog)) labels.emplace_back(gtk_button_get_label(b));
        return labels;
    }
    static void clickButton(GtkMessageDialog* dialog, const std::string& label) {
        // Clicking ends the dialog and destroys its buttons: click last.
        GtkButton* target = nullptr;
        for (GtkButton* b : dialogButtons(dialog))
            if (label == gtk_button_get_label(b)) target = b;
        ASSERT_NE(target, nullptr) << label;
        gtk_button_clicked(target);
    }

    Harness h{KESTRIX_SERVICE_PATH};
    std::unique_ptr<GtkApp> app;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(GtkShell, WindowShowsTheStartingPageWithItsTitleAndSize) {
    delegate->createMainWindow();
    ASSERT_TRUE(
        iterateUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window())) && pageLoaded(); }));

    EXPECT_STREQ(gtk_window_get_title(window()), "AI Kestrix V3.1 · 本机授权版");
    int width = 0, height = 0;
    gtk_window_get_size(window(), &width, &height);
    EXPECT_EQ(width, 1200);
    EXPECT_EQ(height, 800);
    EXPECT_TRUE(gtk_window_get_resizable(window()));
    EXPECT_TRUE(gtk_window_get_deletable(window()));

    EXPECT_EQ(evaluateNow("document.body.innerText.trim()"), "正在启动服务…");
    EXPECT_EQ(evaluateNow("getComputedStyle(document.body).color"), "rgb(102, 102, 102)");

    // The web view fills the content area, and keeps filling it.
    ASSERT_TRUE(iterateUntil(
        [&] { return gtk_widget_get_allocated_width(GTK_WIDGET(webView())) == 1200; }));
    EXPECT_EQ(gtk_widget_get_allocated_height(GTK_WIDGET(webView())), 800);
    gtk_window_resize(window(), 900, 640);
    EXPECT_TRUE(iterateUntil([&] {
        return gtk_widget_get_allocated_width(GTK_WIDGET(webView())) == 900 &&
               gtk_widget_get_allocated_height(GTK_WIDGET(webView())) == 640;
    }));
}

TEST_F(GtkShell, LaunchShowsThePanelAndCloseHidesUntilReopen) {
    g_application_activate(G_APPLICATION(app->gtkApplication()));  // first activation: launching
    ASSERT_NE(window(), nullptr);
    const std::string panel = panelURL(h.settings);
    ASSERT_TRUE(iterateUntil([&] {
        const char* uri = webkit_web_view_get_uri(webView());
        return uri && panel == uri && pageLoaded();
    }));
    EXPECT_EQ(evaluateNow("document.querySelector('h1').textContent"), "Kestrix V3.1 控制面板");
    EXPECT_EQ(evaluateNow("document.getElementById('pid').textContent"),
              std::to_string(delegate->backendPGID));
    EXPECT_EQ(evaluateNow("document.getElementById('visits').textContent = 'kept'"), "kept");

    gtk_window_close(window());  // the close button's delete-event
    ASSERT_TRUE(iterateUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window())); }));
    EXPECT_TRUE(GTK_IS_WINDOW(window()));

    g_application_activate(G_APPLICATION(app->gtkApplication()));  // a second start: reopen
    ASSERT_TRUE(iterateUntil([&] { return gtk_widget_get_visible(GTK_WIDGET(window())) != 0; }));
    // Same page, same state: nothing was reloaded.
    EXPECT_EQ(evaluateNow("document.getElementById('visits').textContent"), "kept");
    EXPECT_EQ(pidsFromFile(h.pidFile).size(), 1u);
}

TEST_F(GtkShell, ModalAlertShowsItsTextsAndAnswersByButtonOrder) {
    delegate->createMainWindow();
    // Looks at the alert once it is up, then presses its second button.
    struct Seen {
        std::vector<std::string> texts;
        bool modal = false;
    } seen;
    g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            auto* out = static_cast<Seen*>(data);
            GtkMessageDialog* dialog = visibleDialog();
            if (!dialog) return G_SOURCE_CONTINUE;
            out->texts = {dialogText(dialog, "text"), dialogText(dialog, "secondary-text")};
            for (const auto& label : buttonLabels(dialog)) out->texts.push_back(label);
            out->modal = gtk_window_get_modal(GTK_WINDOW(dialog));
            clickButton(dialog, "退出");
            return G_SOURCE_REMOVE;
        },
        &seen);

    const long response = app->runModalAlert(
        {"后端服务意外退出", "控制面板后端已停止，隧道可能已断开。", {"重新启动", "退出"}});
    EXPECT_EQ(response, platform::kAlertSecondButtonReturn);
    EXPECT_EQ(seen.texts,
              (std::vector<std::string>{"后端服务意外退出", "控制面板后端已停止，隧道可能已断开。",
                                        "重新启动", "退出"}));
    EXPECT_TRUE(seen.modal);
}

TEST_F(GtkShell, PageDialogsAreAnsweredFromNativeDialogsOnTheWindow) {
    delegate->createMainWindow();
    webkit_web_view_load_html(webView(), "<html><body>dialogs</body></html>", "http://127.0.0.1/");
    ASSERT_TRUE(iterateUntil([&] { return pageLoaded(); }));

    // confirm(), both answers.
    for (const auto& [button, expected] : {std::pair<std::string, std::string>{"确定", "true"},
                                           std::pair<std::string, std::string>{"取消", "false"}}) {
        auto result = evaluate("confirm('要继续吗？')");
        ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
        GtkMessageDialog* dialog = visibleDialog();
        EXPECT_EQ(dialogText(dialog, "text"), "要继续吗？");
        EXPECT_EQ(buttonLabels(dialog), (std::vector<std::string>{"确定", "取消"}));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), window());
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
        EXPECT_FALSE(result->done);  // the page waits for the answer
        clickButton(dialog, button);
        ASSERT_TRUE(iterateUntil([&] { return result->done; }));
        EXPECT_EQ(result->value, expected);
    }

    // alert(), with its lines unchanged.
    auto alerted = evaluate("alert('第一行\\n第二行'); 'after'");
    ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
    EXPECT_EQ(dialogText(visibleDialog(), "text"), "第一行\n第二行");
    EXPECT_EQ(buttonLabels(visibleDialog()), std::vector<std::string>{"确定"});
    clickButton(visibleDialog(), "确定");
    ASSERT_TRUE(iterateUntil([&] { return alerted->done; }));
    EXPECT_EQ(alerted->value, "after");

    // prompt(): no panel, null.
    EXPECT_EQ(evaluateNow("String(prompt('名字？', 'x'))"), "null");
    EXPECT_EQ(visibleDialog(), nullptr);
}

TEST_F(GtkShell, DialogForAHiddenWindowWaitsForTheWindow) {
    delegate->createMainWindow();
    webkit_web_view_load_html(webView(), "<html><body>hidden</body></html>", "http://127.0.0.1/");
    ASSERT_TRUE(iterateUntil([&] { return pageLoaded(); }));
    gtk_window_close(window());
    ASSERT_TRUE(iterateUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window())); }));

    auto result = evaluate("alert('while hidden'); 'answered'");
    iterateUntil([] { return false; }, 500ms);
    EXPECT_EQ(visibleDialog(), nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window())));

    delegate->showWindow();
    ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));
    EXPECT_EQ(dialogText(visibleDialog(), "text"), "while hidden");
    clickButton(visibleDialog(), "确定");
    ASSERT_TRUE(iterateUntil([&] { return result->done; }));
    EXPECT_EQ(result->value, "answered");
}

TEST_F(GtkShell, DialogOutlivingItsPageIsAnsweredOnceWithoutHarm) {
    delegate->createMainWindow();
    webkit_web_view_load_html(webView(), "<html><body>first</body></html>", "http://127.0.0.1/");
    ASSERT_TRUE(iterateUntil([&] { return pageLoaded(); }));
    evaluate("alert('from the first page')");
    ASSERT_TRUE(iterateUntil([] { return visibleDialog() != nullptr; }));

    // The page goes away while its dialog is still open.
    webkit_web_view_load_html(webView(), "<html><body>second</body></html>", "http://127.0.0.1/");
    iterateUntil([] { return false; }, 500ms);
    if (GtkMessageDialog* dialog = visibleDialog()) clickButton(dialog, "确定");
    ASSERT_TRUE(iterateUntil([&] { return pageLoaded() && visibleDialog() == nullptr; }));
    EXPECT_EQ(evaluateNow("document.body.textContent"), "second");
}

TEST_F(GtkShell, UserDefaultsLiveInAKeyFileUnderTheConfigDirectory) {
    auto& defaults = app->standardUserDefaults();
    EXPECT_TRUE(defaults.boolForKey(kFirstRunTipKey));
    EXPECT_FALSE(defaults.boolForKey("missing.key"));
    const std::string file = h.dir / "config/io.kestrix.V3NativeShell.Test" +
                             std::to_string(::getpid()) + "/user-defaults.ini";
    EXPECT_NE(readFile(file).find("kestrix.v3.native.didShowMenuBarTip=true"), std::string::npos);
    writeFile(file, "\x01 not a key file [");
    EXPECT_FALSE(defaults.boolForKey(kFirstRunTipKey));  // unreadable reads as NO
}

}  // namespace
}  // namespace kestrix::test
