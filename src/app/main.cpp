// The program's entry point: fixed settings, the application object, the one
// delegate, and the event loop.
#include <memory>

#include "app/app_delegate.h"
#include "platform/gtk/gtk_app.h"
#include "platform/posix/files.h"

namespace {

// Both live until the process ends; quitting ends it from inside the
// application's termination, without coming back here.
std::unique_ptr<kestrix::platform::gtk::GtkApp> app;
std::shared_ptr<kestrix::AppDelegate> delegate;

}  // namespace

int main() {
    const kestrix::Settings settings = kestrix::Settings::production();
    app = std::make_unique<kestrix::platform::gtk::GtkApp>(
        KESTRIX_APP_ID, kestrix::platform::mainBundlePath() + "/Contents/Resources");
    delegate = std::make_shared<kestrix::AppDelegate>(*app, settings);
    app->setDelegate(delegate.get());
    app->run();
    return 0;
}
