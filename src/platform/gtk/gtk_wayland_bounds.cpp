#include "platform/gtk/gtk_wayland_bounds.h"

#include <gdk/gdkwayland.h>
#include <wayland-client.h>

#include <cstring>

#include "xdg-shell-client-protocol.h"

namespace kestrix::platform::gtk {

namespace {

struct Probe {
    wl_compositor* compositor = nullptr;
    xdg_wm_base* shell = nullptr;
    bool configured = false;
    int width = 0, height = 0;
};

const wl_registry_listener kRegistry = {
    [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* probe = static_cast<Probe*>(data);
        if (!std::strcmp(interface, wl_compositor_interface.name) && !probe->compositor)
            probe->compositor = static_cast<wl_compositor*>(
                wl_registry_bind(registry, name, &wl_compositor_interface, 1));
        if (!std::strcmp(interface, xdg_wm_base_interface.name) && version >= 4 && !probe->shell)
            probe->shell = static_cast<xdg_wm_base*>(
                wl_registry_bind(registry, name, &xdg_wm_base_interface, 4));
    },
    [](void*, wl_registry*, uint32_t) {},
};

const xdg_wm_base_listener kShell = {
    [](void*, xdg_wm_base* shell, uint32_t serial) { xdg_wm_base_pong(shell, serial); },
};

const xdg_surface_listener kSurface = {
    [](void* data, xdg_surface*, uint32_t) { static_cast<Probe*>(data)->configured = true; },
};

const xdg_toplevel_listener kToplevel = {
    [](void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {},
    [](void*, xdg_toplevel*) {},
    [](void* data, xdg_toplevel*, int32_t width, int32_t height) {
        auto* probe = static_cast<Probe*>(data);
        probe->width = width;
        probe->height = height;
    },
    [](void*, xdg_toplevel*, wl_array*) {},
};

}  // namespace

GdkRectangle waylandBounds(GdkDisplay* display) {
    if (!GDK_IS_WAYLAND_DISPLAY(display)) return {0, 0, 0, 0};
    wl_display* connection = gdk_wayland_display_get_wl_display(display);
    wl_event_queue* queue = wl_display_create_queue(connection);
    auto* ours = static_cast<wl_display*>(wl_proxy_create_wrapper(connection));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(ours), queue);
    Probe probe;
    wl_registry* registry = wl_display_get_registry(ours);
    wl_registry_add_listener(registry, &kRegistry, &probe);
    wl_display_roundtrip_queue(connection, queue);
    if (probe.compositor && probe.shell) {
        xdg_wm_base_add_listener(probe.shell, &kShell, &probe);
        wl_surface* surface = wl_compositor_create_surface(probe.compositor);
        xdg_surface* shellSurface = xdg_wm_base_get_xdg_surface(probe.shell, surface);
        xdg_surface_add_listener(shellSurface, &kSurface, &probe);
        xdg_toplevel* toplevel = xdg_surface_get_toplevel(shellSurface);
        xdg_toplevel_add_listener(toplevel, &kToplevel, &probe);
        wl_surface_commit(surface);
        // The bounds come before the first configure, which answers that commit.
        for (int round = 0; round < 4 && !probe.configured; ++round)
            if (wl_display_roundtrip_queue(connection, queue) < 0) break;
        xdg_toplevel_destroy(toplevel);
        xdg_surface_destroy(shellSurface);
        wl_surface_destroy(surface);
    }
    if (probe.shell) xdg_wm_base_destroy(probe.shell);
    if (probe.compositor) wl_compositor_destroy(probe.compositor);
    wl_registry_destroy(registry);
    wl_proxy_wrapper_destroy(ours);
    wl_display_flush(connection);
    wl_event_queue_destroy(queue);
    return {0, 0, probe.width, probe.height};
}

}  // namespace kestrix::platform::gtk
