#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "app/app_delegate.h"
#include "platform/posix/files.h"

namespace kestrix {

namespace {

constexpr const char* kCommandCopyName = "/kestrix-v3";
constexpr unsigned kCommandCopyMode = 0755;
constexpr const char* kLogDirSuffix = "/Library/Logs/Kestrix-V3-测试版";
constexpr const char* kLogFileName = "/backend.log";

void showFatalAlert(platform::Application& app, std::string message, std::string informative) {
    app.runModalAlert({std::move(message), std::move(informative), {"退出"}});
    app.terminate();
}

}  // namespace

void AppDelegate::launchBackendAndLoad() {
    const std::string bundle =
        settings_.bundlePath.empty() ? platform::mainBundlePath() : settings_.bundlePath;
    const std::string backendPath = bundle + "/" + settings_.backendRelativePath;

    if (!platform::isExecutableFile(backendPath)) {
        showFatalAlert(app_, "找不到后端程序",
                       "请确认 " + settings_.backendRelativePath + " 已放进 App 包内。");
        return;
    }

    // Only one instance: another start of ours that holds the lock, or an
    // older one whose panel answers, is left alone. A service that a start
    // of ours launched and then lost (the shell was killed) is stopped first,
    // so that it never passes for an older instance.
    const bool firstLaunch = !holdsInstanceLock();
    const bool alone = holdInstanceLock();
    if (alone && firstLaunch) stopLostService();
    if (!alone || panelResponds()) {
        showFatalAlert(app_, "已有 V3.1 正在运行",
                       "端口 18926 正被旧 V3 实例使用。请先在旧 V3 内正常退出，再打开当前版本。"
                       "V2.1 的 8926/8927 保持不变。");
        return;
    }

    // Fresh command-line copies at every launch; each step is tried whatever
    // became of the one before, and nothing here is reported.
    for (const std::string& dir : settings_.commandDirectories) {
        if (!platform::isWritable(dir)) continue;
        const std::string copyPath = dir + kCommandCopyName;
        // Only a file or a link there is ours to replace.
        if (!platform::removeFile(copyPath)) continue;
        platform::copyFileExclusive(backendPath, copyPath, kCommandCopyMode);
        platform::setPermissions(copyPath, kCommandCopyMode);
    }

    const std::vector<std::string> serviceArguments = {"--no-browser", "-dashboard-addr",
                                                       panelAddress(settings_)};
    // The service runs under the keeper, which holds everything it starts.
    // Through setsid, it leads a session and process group of its own; the
    // child that becomes the service is never a group leader, so this is
    // what /usr/bin/setsid would do in place, with an exec failure that
    // reaches us as one.
    platform::LaunchOptions options;
    options.environment = platform::startupEnvironment();
    platform::setEnvironmentValue(options.environment, kDataDirVariable, dataDirectory());
    usedSetsid = platform::isExecutableFile(settings_.setsidPath);
    options.newSession = usedSetsid;
    options.executable = backendPath;
    options.arguments = serviceArguments;
    options.workingDirectory = platform::deletingLastPathComponent(backendPath);

    const std::string logDir = homeDirectory() + kLogDirSuffix;
    const std::string logFile = logDir + kLogFileName;
    // The log and the folders made for it are the user's alone.
    platform::createDirectories(logDir, 0700);
    if (!platform::fileExists(logFile)) platform::createEmptyFile(logFile, 0600);
    // Opened for appending: successive launches accumulate in one file, and
    // both streams share it. Without it the child keeps our own streams.
    std::string why;
    const int logFd = platform::openForAppending(logFile, why);
    if (logFd < 0)
        std::fprintf(stderr, "kestrix-v3-shell: the service's log %s cannot be used (%s); it writes to ours\n",
                     logFile.c_str(), why.c_str());
    options.outputFd = logFd;

    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    auto launched = platform::Task::launchKept(
        keeperFd_, std::chrono::duration_cast<std::chrono::milliseconds>(graceDuration()),
        options, [weakSelf](pid_t pid) {
            if (auto self = weakSelf.lock()) self->backendDidTerminate(pid);
        });
    if (logFd >= 0) ::close(logFd);

    if (!launched.task) {
        showFatalAlert(app_, "后端启动失败", launched.error);
        return;
    }

    backendTask.store(launched.task);
    backendPGID = launched.task->processIdentifier();
    recordService();

    // The wait-and-load work item, on a background thread of its own. It
    // belongs to this launch: once a restart has replaced the task, it ends
    // without a word.
    std::thread([weakSelf, task = launched.task] {
        auto self = weakSelf.lock();
        if (!self) return;
        const PanelWait result = self->waitForPanel(self->settings().panelWaitSeconds, task);
        self->application().postToMainQueue(
            [self, result, task] { self->loadPanelOrReportFailure(result, task); });
    }).detach();
}

}  // namespace kestrix
