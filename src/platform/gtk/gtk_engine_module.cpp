// The web engine's module (platform/webkit/web_engine.h), loaded once.
#include <gmodule.h>

#include <string>

#include "platform/gtk/gtk_internal.h"
#include "platform/webkit/web_engine.h"

namespace kestrix::platform::gtk {

namespace {

struct LoadedEngine {
    WebEngineEntry entry = nullptr;
    std::string error;  // why there is no entry
};

LoadedEngine openWebEngine(const std::string& path) {
    LoadedEngine loaded;
    GModule* module = g_module_open(path.c_str(), GModuleFlags(0));
    void* entry = nullptr;
    if (module && g_module_symbol(module, webkit::kWebEngineEntry, &entry)) {
        loaded.entry = reinterpret_cast<WebEngineEntry>(entry);
    } else {
        loaded.error = g_module_error();
    }
    return loaded;
}

// The engine's entry point, loaded once for the process.
const LoadedEngine& loadWebEngine(const std::string& path) {
    static const LoadedEngine loaded = openWebEngine(path);
    return loaded;
}

}  // namespace

WebEngineEntry webEngineEntry(const std::string& path, std::string& whyNot) {
    const LoadedEngine& loaded = loadWebEngine(path);
    if (!loaded.entry) whyNot = loaded.error;
    return loaded.entry;
}

}  // namespace kestrix::platform::gtk
