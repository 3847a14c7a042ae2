// The web engine's side of the GTK adapter, built as a module of its own
// (Contents/Frameworks/libkestrix-web-engine.so in the application package)
// and loaded as the window's web view is made: the window reaches the
// display sooner, and an engine that cannot be loaded is an alert that says
// so rather than a program the dynamic loader refuses to start without a
// word on the desktop (figures: docs/benchmarks.md, bench/engine_link.py).
#pragma once

#include "platform/ui.h"

typedef struct _GtkWindow GtkWindow;

// Creates the web view as `window`'s content, with the program's engine
// settings, and returns it as a WebView the caller owns.
extern "C" __attribute__((visibility("default"))) kestrix::platform::WebView*
kestrix_web_engine_add_view(GtkWindow* window);

namespace kestrix::platform::webkit {

// Relative to the package's Contents directory.
inline constexpr const char* kWebEngineModule = "/Frameworks/libkestrix-web-engine.so";
inline constexpr const char* kWebEngineEntry = "kestrix_web_engine_add_view";

}  // namespace kestrix::platform::webkit
