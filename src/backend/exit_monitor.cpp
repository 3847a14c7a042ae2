#include "app/app_delegate.h"

namespace kestrix {

// Called once on the task's watcher thread when the Backend service's
// process has ended, however it ended. The exit that our own shutdown causes
// finds isQuitting set (it is set before any signal) and passes in silence.
void AppDelegate::backendDidTerminate() {
    if (isQuitting.load()) return;
    auto self = shared_from_this();
    app_.postToMainQueue([self] { self->showExitAlert(); });
}

void AppDelegate::showExitAlert() {
    const long response = app_.runModalAlert(
        {"后端服务意外退出", "控制面板后端已停止，隧道可能已断开。", {"重新启动", "退出"}});
    if (response == platform::kAlertFirstButtonReturn) {
        backendPGID = 0;
        backendTask.store(nullptr);
        launchBackendAndLoad();
    } else {
        app_.terminate();
    }
}

}  // namespace kestrix
