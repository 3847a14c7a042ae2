// Helpers of the display tests.
#pragma once

#include <gtk/gtk.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/gtk/gtk_app.h"
#include "ui/texts.h"

namespace kestrix::test {

// Runs the default GLib main context until `done` holds or `timeout` passes.
inline bool iterateUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A GTK application of the test's own, registered under an id of its own,
// with its user defaults below `configDirectory`. Null without a display.
inline std::unique_ptr<platform::gtk::GtkApp> startGtkApp(const std::string& configDirectory,
                                                          const std::string& idPrefix) {
    // Before anything of GLib reads (and keeps) the configuration directory.
    ::setenv("XDG_CONFIG_HOME", configDirectory.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (configDirectory + "/data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (configDirectory + "/cache").c_str(), 1);
    if (!gtk_init_check(nullptr, nullptr)) return nullptr;
    auto app = std::make_unique<platform::gtk::GtkApp>(idPrefix + std::to_string(::getpid()),
                                                       text::kProductName,
                                                       KESTRIX_BUNDLE_PATH "/Contents/Resources");
    if (!g_application_register(G_APPLICATION(app->gtkApplication()), nullptr, nullptr))
        return nullptr;
    return app;
}

}  // namespace kestrix::test
