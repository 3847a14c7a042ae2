#include <chrono>
#include <thread>

#include "app/app_delegate.h"
#include "platform/clock.h"
#include "platform/http_probe.h"
#include "platform/ports.h"
#include "platform/processes.h"

namespace kestrix {

using platform::Clock;
using platform::seconds;

bool AppDelegate::panelResponds() const {
    return platform::httpGetStatus(panelURL(settings_), settings_.probeTimeoutSeconds) == 200;
}

// Whether the socket listening on the panel's address is `task`'s: made in
// its scope, where it has one, else held by its service or something it
// started (all of it below the keeper). Another program, another account's
// too, may have taken the port first, and a 200 from it is not our panel.
bool AppDelegate::panelIsOurs(const platform::KeptTask& task) const {
    std::vector<pid_t> ours;
    if (!task.scope())
        for (const auto& p : platform::liveDescendants(task.keeperIdentifier()))
            ours.push_back(p.pid);
    return platform::listensOn(task.scope(), ours, settings_.panelHost, settings_.panelPort);
}

// Polls the panel while the service of `launched` runs, until
// `timeoutSeconds` have passed, then probes once more. Each probe may itself
// take up to its time-out, so the whole wait can overrun the deadline by one
// probe and one pause, plus the last probe. The wait belongs to its launch:
// once `launched` is no longer the current task (a restart), it ends.
PanelWait AppDelegate::waitForPanel(double timeoutSeconds,
                                    const std::shared_ptr<platform::KeptTask>& launched) {
    const auto deadline = Clock::now() + seconds(timeoutSeconds);
    while (Clock::now() < deadline) {
        const auto task = backendTask.load();
        if (task != launched || !task || !task->isRunning()) return PanelWait::BackendGone;
        if (panelResponds() && panelIsOurs(*task)) return PanelWait::Ready;
        std::this_thread::sleep_for(seconds(settings_.probePauseSeconds));
    }
    if (backendTask.load() != launched) return PanelWait::BackendGone;
    if (launched && panelResponds() && panelIsOurs(*launched)) return PanelWait::Ready;
    // A service that died meanwhile is reported by its exit handler.
    return launched && !launched->isRunning() ? PanelWait::BackendGone : PanelWait::TimedOut;
}

void AppDelegate::loadPanelOrReportFailure(PanelWait result,
                                           const std::shared_ptr<platform::KeptTask>& launched) {
    // A restart may have come between the wait's end and this turn.
    if (backendTask.load() != launched) return;
    switch (result) {
        case PanelWait::Ready:
            // Unless it has ended meanwhile: its end has closed the gate.
            if (launched->isRunning()) showPanel();
            return;
        case PanelWait::BackendGone:
            // The service ended before its panel answered. Its exit handler
            // has queued the exit alert, whose restart is the user's way
            // forward; a second alert here would end the application before
            // that choice could be made.
            return;
        case PanelWait::TimedOut:
            alertAndTerminate(text::kPanelStartFailed, text::panelUnreachable(settings_.panelPort));
            return;
    }
}

}  // namespace kestrix
