#include "app/app_delegate.h"
#include "platform/ports.h"

namespace kestrix {

// Called once on the task's watcher thread when the Backend service's
// process has ended, however it ended. The exit that our own shutdown causes
// finds isQuitting set (it is set before any signal) and passes in silence.
//
// Whatever the service left has been stopped by then (by its keeper, or,
// for a keeper that was killed, by the task itself): restarting needs it
// gone (it may hold the port or the data directory), and so does quitting.
// So the alert can tell whether another program holds the port.
void AppDelegate::backendDidTerminate() {
    if (isQuitting.load()) return;
    const bool portTaken = platform::addressInUse(settings_.panelHost, settings_.panelPort);
    auto self = shared_from_this();
    app_.postToMainQueue([self, portTaken] { self->showExitAlert(portTaken); });
}

void AppDelegate::showExitAlert(bool portTaken) {
    std::string informative = text::kBackendExitedInfo;
    if (portTaken) informative += text::portHeldInfo(settings_.panelPort, panelAddress(settings_));
    const long response =
        app_.runModalAlert({text::kBackendExited, informative, {text::kRestart, text::kQuit}, -1});
    if (response == platform::kAlertFirstButtonReturn) {
        backendPGID = 0;
        backendTask.store(nullptr);
        showStartingPage();
        launchBackendAndLoad();
    } else {
        app_.terminate();
    }
}

}  // namespace kestrix
