#include "app/app_delegate.h"

namespace kestrix {

const char* const kWindowTitle = "AI Kestrix V3.1 · 本机授权版";

const char* const kStartingPageHTML =
    "<html><body style='font-family:-apple-system;display:flex;align-items:center;"
    "justify-content:center;height:100vh;color:#666'><h3>正在启动服务…</h3></body></html>";

namespace {
constexpr unsigned kStyleTitled = 1, kStyleClosable = 2, kStyleMiniaturizable = 4,
                   kStyleResizable = 8;
constexpr int kBackingBuffered = 2;
}  // namespace

void AppDelegate::createMainWindow() {
    platform::WindowSpec spec;
    spec.width = 1200;
    spec.height = 800;
    spec.styleMask = kStyleTitled | kStyleClosable | kStyleMiniaturizable | kStyleResizable;
    spec.backing = kBackingBuffered;
    spec.defer = false;

    window = app_.makeWindow(spec);
    window->center();
    window->setTitle(kWindowTitle);
    window->setDelegate(this);

    webView = window->addWebView();
    webView->setUIDelegate(this);
    webView->setAutoresizesWithWindow(true);
    webView->loadHTMLString(kStartingPageHTML);

    window->makeKeyAndOrderFront();
    app_.activateIgnoringOtherApps();
}

}  // namespace kestrix
