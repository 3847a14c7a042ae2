#include <utility>

#include "app/app_delegate.h"
#include "platform/diagnostics.h"

namespace kestrix {

void AppDelegate::createMainWindow() {
    window = app_.makeWindow({1200, 800});
    window->center();
    window->setTitle(text::kWindowTitle);
    window->setDelegate(this);

    std::string whyNot;
    webView = window->addWebView(whyNot);
    if (!webView) {
        // The window could never show the panel: the user is told, and the
        // program ends before anything has started.
        platform::warn("cannot load the web engine: %s", whyNot.c_str());
        app_.runModalAlert({text::kEngineMissing, whyNot, {text::kQuit}, 0});
        return app_.terminate();
    }
    webView->setUIDelegate(this);
    // No request reaches the panel's address until our service's listener
    // is behind it.
    webView->setPanelGate(settings_.panelPort, false);
    webView->loadHTMLString(text::kStartingPageHTML);

    showWindow();
}

// Whether the panel may go into the window now: our service runs, and the
// listener on the panel's address is its own. Every load of the panel after
// the wait's own goes through this.
bool AppDelegate::panelIsLoadable() const {
    const auto task = backendTask.load();
    return task && task->isRunning() && panelIsOurs(*task);
}

// The panel into the window, our service's listener behind its address:
// the gate opens, and a sheet about a web process that kept ending has
// lost its cause.
void AppDelegate::showPanel() {
    panelShown_ = true;
    if (std::exchange(recoveryOffered_, false)) {
        window->dismissSheets();
        webProcessEnds_.clear();
    }
    webView->setPanelGate(settings_.panelPort, true);
    webView->loadRequest(panelURL(settings_));
}

// The starting page, while the service starts (again): nothing of the
// panel before it stays on screen.
void AppDelegate::showStartingPage() {
    panelShown_ = false;
    webView->loadHTMLString(text::kStartingPageHTML);
}

// The service has ended, this very moment (on its watcher thread): no
// request of the page's reaches the panel's address from now on, whoever
// listens there next. The page on screen stays.
void AppDelegate::backendDidEnd() {
    app_.postToMainQueue([self = shared_from_this()] {
        if (self->webView) self->webView->setPanelGate(self->settings_.panelPort, false);
    });
}

// What was shown comes back: the panel where it is still ours, else the
// starting page (the panel follows once the service's wait says so).
void AppDelegate::reloadWhatWasShown() {
    if (panelShown_ && panelIsLoadable())
        showPanel();
    else
        webView->loadHTMLString(text::kStartingPageHTML);
}

// The process that renders the page has died: killed when the page grew too
// large, or crashed, and the window would stay blank for good. What was
// shown is loaded again, up to three times in a minute; past that, a sheet
// on the window (no web process needed) says so, and nothing more is loaded
// until the user asks for it there: a web process that dies as it starts
// costs nothing meanwhile.
void AppDelegate::webContentProcessDidTerminate() {
    if (recoveryOffered_) return;
    const auto now = Clock::now();
    std::erase_if(webProcessEnds_,
                  [&](Clock::time_point t) { return now - t > std::chrono::minutes(1); });
    webProcessEnds_.push_back(now);
    if (webProcessEnds_.size() <= 3) return reloadWhatWasShown();
    recoveryOffered_ = true;
    window->beginSheet({text::kPageCannotShow, text::kPageProcessKeepsEnding, {text::kReload}, 0},
                       [weakSelf = weak_from_this()](long) {
                           const auto self = weakSelf.lock();
                           if (!self) return;
                           self->recoveryOffered_ = false;
                           self->webProcessEnds_.clear();
                           self->reloadWhatWasShown();
                       });
}

}  // namespace kestrix
