// The web engine's side of the GTK adapter. It is built as a module of its
// own (Contents/Frameworks/libkestrix-web-engine.so in the application
// package) and loaded once the window is up: the engine's libraries take
// longer to load than everything else the program starts with together, and
// the service need not wait for them.
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
