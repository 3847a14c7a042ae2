#include "platform/webkit/panel_gate.h"
#include "platform/diagnostics.h"

#include <arpa/inet.h>

#include <cstring>

namespace kestrix::platform::webkit {

namespace {

// Whether `uri` leads to `port` of this machine's loopback.
bool toLoopbackPort(const char* uri, long port) {
    g_autoptr(GUri) parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
    if (!parsed) return false;
    const char* scheme = g_uri_get_scheme(parsed);
    const char* host = g_uri_get_host(parsed);
    long at = g_uri_get_port(parsed);
    if (at < 0 && scheme) at = !g_ascii_strcasecmp(scheme, "https") ? 443 : 80;
    bool loopback = false;
    if (host && at == port) {
        in_addr v4{};
        in6_addr v6{};
        if (!g_ascii_strcasecmp(host, "localhost")) {
            loopback = true;
        } else if (inet_pton(AF_INET, host, &v4) == 1) {
            const uint32_t a = ntohl(v4.s_addr);
            loopback = (a >> 24) == 127 || a == 0;
        } else if (inet_pton(AF_INET6, host, &v6) == 1) {
            loopback = IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6) ||
                       (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
        }
    }
    return loopback;
}

}  // namespace

std::string panelGateRules(long port) {
    std::string rules = "[";
    for (const char* host :
         {R"(127\\.[0-9]+\\.[0-9]+\\.[0-9]+)", "localhost", R"(0\\.0\\.0\\.0)", R"(\\[::1\\])",
          R"(\\[::ffff:7f[0-9a-f]*:[0-9a-f]+\\])", R"(\\[::\\])"})
        rules += std::string(rules.size() > 1 ? "," : "") +
                 R"({"trigger":{"url-filter":"^[a-z]+://([^/]*@)?)" + host + ":" +
                 std::to_string(port) + R"(/"},"action":{"type":"block"}})";
    return rules + "]";
}

PanelGate::PanelGate(WebKitWebView* view) : view_(view) {
    g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
}

PanelGate::~PanelGate() {
    g_signal_handlers_disconnect_by_data(view_, this);
    if (compiling_) g_cancellable_cancel(compiling_.get());
}

void PanelGate::set(long port, bool open) {
    open_ = open;
    if (port != port_) {
        port_ = port;
        // In the engine's cache, the program's own: compiled anew at each
        // start, in a few milliseconds, long before any panel is shown.
        g_autofree gchar* path =
            g_build_filename(g_get_user_cache_dir(), g_get_prgname(), "content-filters", nullptr);
        const Owned<WebKitUserContentFilterStore> store(webkit_user_content_filter_store_new(path));
        const std::string rules = panelGateRules(port);
        g_autoptr(GBytes) source = g_bytes_new(rules.data(), rules.size());
        compiling_.reset(g_cancellable_new());
        webkit_user_content_filter_store_save(store.get(), "panel-gate", source, compiling_.get(),
                                              onCompiled, this);
    }
    apply();
}

void PanelGate::onCompiled(GObject* store, GAsyncResult* result, void* data) {
    g_autoptr(GError) error = nullptr;
    WebKitUserContentFilter* filter = webkit_user_content_filter_store_save_finish(
        WEBKIT_USER_CONTENT_FILTER_STORE(store), result, &error);
    // Cancelled: the gate has gone with its view.
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return;
    auto* self = static_cast<PanelGate*>(data);
    self->compiling_.reset();
    if (!filter) {
        platform::warn(
            "the panel's gate cannot stop the page's own requests "
            "(%s); it stops its navigations only",
            error->message);
        return;
    }
    self->filter_.reset(filter);
    self->apply();
}

void PanelGate::apply() {
    WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(view_);
    if (!filter_ || added_ == !open_) return;
    if (open_)
        webkit_user_content_manager_remove_filter(manager, filter_.get());
    else
        webkit_user_content_manager_add_filter(manager, filter_.get());
    added_ = !open_;
}

// A navigation to the panel's port while the gate is closed goes nowhere:
// the page on screen stays, whatever asked (a link, a form, a script's
// reload or redirect, history, the view's own Reload).
gboolean PanelGate::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, void* data) {
    auto* self = static_cast<PanelGate*>(data);
    if (self->open_ || type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (!uri || !toLoopbackPort(uri, self->port_)) return FALSE;
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

}  // namespace kestrix::platform::webkit
