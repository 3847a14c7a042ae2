// The program's entry point: fixed settings, the application object, the one
// delegate, and the event loop.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/gtk/gtk_app.h"

namespace {

// Both live until the process ends; quitting ends it from inside the
// application's termination, without coming back here.
std::unique_ptr<kestrix::platform::gtk::GtkApp> app;
std::shared_ptr<kestrix::AppDelegate> delegate;

}  // namespace

int main(int argc, char** argv) {
    const auto options =
        kestrix::handleCommandLine({argv + std::min(argc, 1), argv + argc}, KESTRIX_VERSION);
    std::fputs(options.output.c_str(), stdout);
    std::fputs(options.error.c_str(), stderr);
    if (options.status >= 0) return options.status;
    kestrix::platform::unblockQuitSignals();
    // The service gets the environment and the descriptor limit we were
    // started with; a low soft limit would make the toolkit abort.
    kestrix::platform::keepStartupEnvironment();
    kestrix::platform::raiseDescriptorLimit();
    // For our own process (and the web engine's) only: the engine renders
    // without hardware acceleration here, and its DMA-BUF renderer would
    // still set up GL in our process first, on the way to the service.
    setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);

    kestrix::platform::gtk::GtkApp::adoptEarlierStorage(kestrix::kApplicationID);
    const kestrix::Settings settings = kestrix::Settings::production();
    app = std::make_unique<kestrix::platform::gtk::GtkApp>(
        kestrix::kApplicationID, kestrix::text::kProductName,
        kestrix::platform::mainBundlePath() + "/Contents/Resources");
    delegate = std::make_shared<kestrix::AppDelegate>(*app, settings);
    app->setDelegate(delegate.get());
    app->run();
    return 0;
}
