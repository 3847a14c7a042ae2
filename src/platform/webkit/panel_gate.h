// The gate on the panel's port (ui.h, WebView::setPanelGate), in the web
// engine module. Navigations are refused in the view's policy, so that the
// page on screen stays as it is; every other request (subresources, fetch
// and XHR, WebSockets, beacons, and any navigation the policy does not see)
// by a content filter that the web process applies before anything leaves
// it. The filter is compiled once, for the port, as the gate is first set.
#pragma once

#include <webkit2/webkit2.h>

#include <string>

#include "platform/glib/owned.h"

namespace kestrix::platform::webkit {

// The content filter's rules (WebKit's content-blocker JSON): every scheme,
// with or without credentials, to `port` of 127/8, localhost, 0.0.0.0, ::1,
// ::ffff:127/104 and ::.
std::string panelGateRules(long port);

class PanelGate {
public:
    explicit PanelGate(WebKitWebView* view);
    ~PanelGate();
    PanelGate(const PanelGate&) = delete;
    PanelGate& operator=(const PanelGate&) = delete;

    void set(long port, bool open);

private:
    static gboolean onDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, void* self);
    static void onCompiled(GObject* store, GAsyncResult* result, void* self);
    void apply();

    WebKitWebView* view_;
    long port_ = 0;
    bool open_ = true;
    Owned<WebKitUserContentFilter, webkit_user_content_filter_unref> filter_;
    bool added_ = false;
    Owned<GCancellable> compiling_;
};

}  // namespace kestrix::platform::webkit
