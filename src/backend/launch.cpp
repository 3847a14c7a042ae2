#include <atomic>
#include <cstring>
#include <thread>

#include "app/app_delegate.h"
#include "platform/clock.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/processes.h"

namespace kestrix {

namespace {

constexpr const char* kCommandCopyName = "/kestrix-v3";
constexpr unsigned kCommandCopyMode = 0755;
constexpr const char* kLogDirSuffix = "/Library/Logs/Kestrix-V3-测试版";
constexpr const char* kLogFileName = "/backend.log";

}  // namespace

void AppDelegate::alertAndTerminate(std::string message, std::string informative) {
    app_.runModalAlert({std::move(message), std::move(informative), {text::kQuit}, 0});
    app_.terminate();
}

// Starts the Backend service, on the main thread: the checks, the command
// copies, the service under its keeper, then the wait for its panel on a
// thread of its own. Each failure ends the application after its alert.
void AppDelegate::launchBackendAndLoad() {
    const std::string backendPath = bundlePath() + "/" + settings_.backendRelativePath;

    if (!platform::isExecutableFile(backendPath)) {
        alertAndTerminate(text::kBackendMissing,
                          text::backendMissingInfo(settings_.backendRelativePath));
        return;
    }

    // Only one instance: another start of ours that holds the lock, or an
    // older one whose panel answers, is left alone. A service that a start
    // of ours launched and then lost (the shell was killed) is stopped first,
    // so that it never passes for an older instance.
    const bool firstLaunch = !guard_.holdsLock();
    const bool alone = guard_.holdLock();
    if (alone && firstLaunch && guard_.launchRecorded()) {
        // A killed launch's: a grace or more (a few seconds at most), on a
        // thread of its own, so that the window is drawn and a quit is
        // carried out meanwhile.
        std::atomic<bool> done{false};
        std::thread stopping([this, &done] {
            guard_.stopLeftovers();
            done.store(true);
        });
        app_.waitUntil([&done] { return done.load(); },
                       platform::Clock::now() + std::chrono::minutes(1));
        stopping.join();
        if (app_.isTerminating()) return;
    }
    if (!alone || panelResponds()) {
        alertAndTerminate(text::kAlreadyRunning, text::kAlreadyRunningInfo);
        return;
    }

    refreshCommandCopies(backendPath);
    platform::LaunchOptions options = serviceLaunchOptions(backendPath);
    const platform::Descriptor log = openServiceLog();
    options.outputFd = log.get();
    // Every process of this launch carries its mark; where a user manager
    // runs us, the keeper's scope is named after it too.
    const std::string mark = platform::randomToken();
    platform::setEnvironmentValue(options.environment, kLaunchMarkVariable, mark);
    const std::string scopeUnit =
        std::string("app-") + kApplicationID + "-backend-" + mark.substr(0, 12) + ".scope";

    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    auto launched = platform::KeptTask::launch(
        keeperProgram_.get(),
        std::chrono::duration_cast<std::chrono::milliseconds>(graceDuration()), settings_.pgrepPath,
        scopeUnit, options,
        {[weakSelf] {
             if (auto self = weakSelf.lock()) self->backendDidEnd();
         },
         [weakSelf] {
             if (auto self = weakSelf.lock()) self->backendDidTerminate();
         }});
    if (!launched.task) {
        alertAndTerminate(text::kBackendStartFailed,
                          text::cannotStart(options.executable, launched.errorNumber));
        return;
    }

    // The keeper's first word, with the main loop running meanwhile: a slow
    // or stopped keeper never freezes the window, and a quit asked for
    // meanwhile ends the start (terminateBackend gives it up).
    const auto task = launched.task;
    starting_ = task;
    app_.waitUntil([&task] { return task->answered(); },
                   platform::Clock::now() + platform::seconds(settings_.keeperAnswerSeconds));
    starting_.reset();
    if (app_.isTerminating()) return;  // a quit, carried out meanwhile
    if (const bool answered = task->answered(); !answered || task->startError() != 0) {
        const std::string why =
            answered ? std::strerror(task->startError())
                     : text::keeperSilent(kKeeperName, settings_.keeperAnswerSeconds);
        task->abandon();
        alertAndTerminate(text::kBackendStartFailed, text::cannotStart(backendPath, why));
        return;
    }

    backendTask.store(task);
    backendPGID = task->processIdentifier();
    guard_.record(*task, mark);
    startPanelWait(task);
}

// Fresh command-line copies at every launch, nothing of it reported. Each
// copy replaces the one before whole or not at all: removing first and then
// copying would leave no working command, or a truncated one, on a full
// disk.
void AppDelegate::refreshCommandCopies(const std::string& backendPath) {
    for (const std::string& dir : settings_.commandDirectories) {
        if (!platform::isWritable(dir)) continue;
        platform::replaceWithCopy(backendPath, dir + kCommandCopyName, kCommandCopyMode);
    }
}

// The service's command line, environment and directory. Through setsid,
// it leads a session and process group of its own: the child that becomes
// the service is never a group leader, so this is what /usr/bin/setsid
// would do in place, with an exec failure that reaches us as one.
platform::LaunchOptions AppDelegate::serviceLaunchOptions(const std::string& backendPath) {
    platform::LaunchOptions options;
    options.executable = backendPath;
    options.arguments = {"--no-browser", "-dashboard-addr", panelAddress(settings_)};
    options.environment = platform::startupEnvironment();
    platform::setEnvironmentValue(options.environment, kDataDirVariable, dataDirectory());
    usedSetsid = platform::isExecutableFile(settings_.setsidPath);
    options.newSession = usedSetsid;
    options.workingDirectory = platform::deletingLastPathComponent(backendPath);
    return options;
}

// The service's log, opened for appending: successive launches accumulate
// in one file, and both streams share it. It and the folders made for it
// are the user's alone. None where it cannot be used: the service then
// keeps our own streams.
platform::Descriptor AppDelegate::openServiceLog() {
    const std::string logDir = homeDirectory() + kLogDirSuffix;
    const std::string logFile = logDir + kLogFileName;
    platform::createDirectories(logDir, 0700);
    if (!platform::fileExists(logFile)) platform::createEmptyFile(logFile, 0600);
    std::string why;
    platform::Descriptor log = platform::openForAppending(logFile, why);
    if (!log)
        platform::warn("the service's log %s cannot be used (%s); it writes to ours",
                       logFile.c_str(), why.c_str());
    return log;
}

// The wait-and-load work item, on a background thread of its own. It
// belongs to this launch: once a restart has replaced the task, it ends
// without a word.
void AppDelegate::startPanelWait(const std::shared_ptr<platform::KeptTask>& task) {
    std::thread([weakSelf = weak_from_this(), task] {
        auto self = weakSelf.lock();
        if (!self) return;
        const PanelWait result = self->waitForPanel(self->settings().panelWaitSeconds, task);
        self->application().postToMainQueue(
            [self, result, task] { self->loadPanelOrReportFailure(result, task); });
    }).detach();
}

}  // namespace kestrix
