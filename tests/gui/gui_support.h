// Helpers of the display tests.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <thread>

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

}  // namespace kestrix::test
