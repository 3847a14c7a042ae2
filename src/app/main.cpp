// The program's entry point: fixed settings, the application object, the one
// delegate, and the event loop.
#include <signal.h>

#include <memory>

#include "app/app_delegate.h"
#include "platform/gtk/gtk_app.h"
#include "platform/posix/files.h"
#include "platform/posix/process.h"

namespace {

// Both live until the process ends; quitting ends it from inside the
// application's termination, without coming back here.
std::unique_ptr<kestrix::platform::gtk::GtkApp> app;
std::shared_ptr<kestrix::AppDelegate> delegate;

}  // namespace

int main() {
    // A launcher may leave the signals that ask us to quit blocked; every
    // thread started from here on inherits this mask.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&quitSignals, signal);
    pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
    // The service gets the environment we were started with.
    kestrix::platform::keepStartupEnvironment();

    const kestrix::Settings settings = kestrix::Settings::production();
    app = std::make_unique<kestrix::platform::gtk::GtkApp>(
        kestrix::kApplicationID, kestrix::platform::mainBundlePath() + "/Contents/Resources");
    delegate = std::make_shared<kestrix::AppDelegate>(*app, settings);
    app->setDelegate(delegate.get());
    app->run();
    return 0;
}
