// The web engine's side of the GTK adapter. It is built as a module of its
// own (Contents/Frameworks/libkestrix-web-engine.so in the application
// package), loaded as the window's web view is made. Measured against
// linking it in (bench/engine_link.py, 15 alternating runs): the window is on
// the display 33 ms after the start instead of 111 ms, and the service's
// start and the panel come at the same time either way (278 / 288 ms and
// 421 / 429 ms). And an engine that cannot be loaded is an alert that says
// so (and one line on standard error), not a program that the dynamic
// loader refuses to start without a word on the desktop.
#pragma once

#include "platform/ui.h"

typedef struct _GtkWindow GtkWindow;

// Creates the web view as `window`'s content, with the program's engine
// settings, and returns it as a WebView the caller owns.
extern "C" __attribute__((visibility("default"))) kestrix::platform::WebView*
kestrix_web_engine_add_view(GtkWindow* window);

namespace kestrix::platform::gtk {

// Relative to the package's Contents directory.
inline constexpr const char* kWebEngineModule = "/Frameworks/libkestrix-web-engine.so";
inline constexpr const char* kWebEngineEntry = "kestrix_web_engine_add_view";

}  // namespace kestrix::platform::gtk
