// The program's entry point: fixed settings, the application object, the one
// delegate, and the event loop.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/app_delegate.h"
#include "platform/gtk/gtk_app.h"
#include "platform/posix/files.h"
#include "platform/posix/environment.h"

namespace {

// Both live until the process ends; quitting ends it from inside the
// application's termination, without coming back here.
std::unique_ptr<kestrix::platform::gtk::GtkApp> app;
std::shared_ptr<kestrix::AppDelegate> delegate;

}  // namespace

namespace {

constexpr const char* kCommandName = "kestrix-v3-shell";

// The options: help and version, each of which prints and ends the program
// before anything starts. Anything else is refused. Returns the exit status,
// or -1 to go on.
int handleCommandLine(int argc, char** argv) {
    if (argc < 2) return -1;
    const std::string option = argv[1];
    if (argc == 2 && (option == "-h" || option == "--help")) {
        std::printf(
            "Usage: %s [--help | --version]\n"
            "Starts the Kestrix V3.1 Backend service and shows its control panel in a\n"
            "window; a second start brings the running window forward.\n\n"
            "  -h, --help     show this help and exit\n"
            "  -V, --version  show the version and exit\n",
            kCommandName);
        return 0;
    }
    if (argc == 2 && (option == "-V" || option == "--version")) {
        std::printf("%s %s\n", kCommandName, KESTRIX_VERSION);
        return 0;
    }
    std::fprintf(stderr, "%s: unrecognised argument '%s'\nTry '%s --help'.\n", kCommandName,
                 argv[argc == 2 ? 1 : 2], kCommandName);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = handleCommandLine(argc, argv); status >= 0) return status;
    // A launcher may leave the signals that ask us to quit blocked; every
    // thread started from here on inherits this mask.
    sigset_t quitSignals;
    sigemptyset(&quitSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&quitSignals, signal);
    pthread_sigmask(SIG_UNBLOCK, &quitSignals, nullptr);
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
        kestrix::kApplicationID, kestrix::platform::mainBundlePath() + "/Contents/Resources");
    delegate = std::make_shared<kestrix::AppDelegate>(*app, settings);
    app->setDelegate(delegate.get());
    app->run();
    return 0;
}
