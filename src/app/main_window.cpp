#include "app/app_delegate.h"

namespace kestrix {

const char* const kWindowTitle = "AI Kestrix V3.1 · 本机授权版";

const char* const kStartingPageHTML =
    "<html><body style='font-family:-apple-system;display:flex;align-items:center;"
    "justify-content:center;height:100vh;color:#666'><h3>正在启动服务…</h3></body></html>";

void AppDelegate::createMainWindow() {
    window = app_.makeWindow({1200, 800});
    window->center();
    window->setTitle(kWindowTitle);
    window->setDelegate(this);

    webView = window->addWebView();
    webView->setUIDelegate(this);
    webView->loadHTMLString(kStartingPageHTML);

    showWindow();
}

// The process that renders the page has died: killed when the page grew too
// large, or crashed, and the window would stay blank for good. What was
// shown is loaded again, up to three times in a minute; past that, the
// window says so and offers to try again.
void AppDelegate::webContentProcessDidTerminate() {
    const auto now = Clock::now();
    std::erase_if(webProcessEnds_,
                  [&](Clock::time_point t) { return now - t > std::chrono::minutes(1); });
    webProcessEnds_.push_back(now);
    const std::string panel = panelURL(settings_);
    if (webProcessEnds_.size() > 3) {
        webView->loadHTMLString(
            "<html><body style='font-family:sans-serif;display:flex;flex-direction:column;"
            "align-items:center;justify-content:center;height:100vh;color:#666'>"
            "<h3>控制面板页面无法显示</h3><p>显示页面的进程多次意外退出。</p>"
            "<p><a href='" +
            panel + "'>重新加载</a></p></body></html>");
    } else if (panelShown_) {
        webView->loadRequest(panel, settings_.panelLoadTimeoutSeconds);
    } else {
        webView->loadHTMLString(kStartingPageHTML);
    }
}

}  // namespace kestrix
