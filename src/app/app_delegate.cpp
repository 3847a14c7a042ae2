#include "app/app_delegate.h"

#include <cstdlib>

#include "platform/files.h"

namespace kestrix {

std::string panelURL(const Settings& settings) {
    return "http://" + settings.panelHost + ":" + std::to_string(settings.panelPort) + "/";
}

std::string panelAddress(const Settings& settings) {
    return settings.panelHost + ":" + std::to_string(settings.panelPort);
}

namespace {

// Where the lock and the record live: $XDG_RUNTIME_DIR's folder of ours,
// else ~/.cache's.
std::vector<std::string> runtimeDirectories(const Settings& settings, const std::string& home) {
    std::vector<std::string> candidates;
    if (!settings.runtimeDirectory.empty())
        candidates.push_back(settings.runtimeDirectory);
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        candidates.push_back(std::string(runtime) + "/" + kApplicationID);
    candidates.push_back(home + "/.cache/" + kApplicationID);
    return candidates;
}

}  // namespace

AppDelegate::AppDelegate(platform::Application& app, Settings settings)
    : app_(app),
      settings_(std::move(settings)),
      guard_(runtimeDirectories(settings_, homeDirectory()),
             platform::seconds(settings_.shutdownGraceSeconds)) {
    // The keeper this program came with, opened now: a package upgraded
    // while we run must not hand us a keeper of another version.
    keeperProgram_ = platform::openProgram(keeperPath());
}

std::string AppDelegate::bundlePath() const {
    return settings_.bundlePath.empty() ? platform::mainBundlePath() : settings_.bundlePath;
}

std::string AppDelegate::keeperPath() const {
    return settings_.keeperPath.empty() ? bundlePath() + "/Contents/MacOS/" + kKeeperName
                                        : settings_.keeperPath;
}

// Destroying the delegate releases what it holds and nothing else: the
// Backend service is stopped only by applicationWillTerminate.
AppDelegate::~AppDelegate() = default;

std::string AppDelegate::homeDirectory() const {
    return settings_.homeDirectory.empty() ? platform::homeDirectory() : settings_.homeDirectory;
}

std::string AppDelegate::dataDirectory() const {
    return homeDirectory() + "/.vantrel-v3";
}

void AppDelegate::applicationDidFinishLaunching() {
    // A window and a taskbar entry, as for any regular application.
    createMainWindow();
    if (app_.isTerminating()) return;
    createStatusItem();
    launchBackendAndLoad();
    // A failed launch has asked for termination; on the desktop that never
    // returns, but where it does, the tip must not follow.
    if (app_.isTerminating()) return;
    showFirstRunTipIfNeeded();
}

// Shows the window, brings it to the front and activates the application:
// at the start, from the tray and for a second start.
void AppDelegate::showWindow() {
    window->makeKeyAndOrderFront();
    app_.activateIgnoringOtherApps();
}

void AppDelegate::quitApp() {
    app_.terminate();
}

bool AppDelegate::windowShouldClose() {
    // Closing only hides: the window keeps its web view and its page.
    window->orderOut();
    return false;
}

void AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
    showWindow();
}

void AppDelegate::applicationWillTerminate() {
    terminateBackend();
    if (statusItem) app_.removeStatusItem(statusItem.get());
}

}  // namespace kestrix
