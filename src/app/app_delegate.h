// The program's one controller. It owns all mutable state and carries every
// operation: the lifecycle (app/), the Backend service's launch, panel wait,
// exit watch and shutdown (backend/), and the menus, tip and page dialogs (ui/).
//
// Threads: every method runs on the main thread, except waitForPanel,
// panelResponds and panelIsOurs (the background wait), and backendDidEnd
// and backendDidTerminate (the task's watcher thread). Off the main thread only
// `backendTask`, `isQuitting` and the fixed settings are read, and nothing
// is written; work that leaves the main thread holds the delegate through a
// weak_ptr and does nothing once it has gone.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "backend/instance_guard.h"
#include "platform/files.h"
#include "platform/kept_task.h"
#include "platform/ui.h"
#include "ui/texts.h"

namespace kestrix {

// The running Backend service's task, readable from the background wait
// while the main thread replaces or clears it. The lock is held only for the
// copy of the pointer.
class TaskSlot {
public:
    std::shared_ptr<platform::KeptTask> load() const {
        std::lock_guard lock(mutex_);
        return task_;
    }
    // The task replaced is released after the lock: releasing the last hold
    // on a task cuts its keeper's lifeline (a socket call), which the
    // background wait's reads need not wait for.
    void store(std::shared_ptr<platform::KeptTask> task) {
        std::shared_ptr<platform::KeptTask> previous;
        {
            std::lock_guard lock(mutex_);
            previous = std::exchange(task_, std::move(task));
        }
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<platform::KeptTask> task_;
};

// How the wait for the panel ended.
enum class PanelWait {
    Ready,        // the panel answered 200
    BackendGone,  // the Backend service of the wait is absent, no longer
                  // running, or (after a restart) no longer the current one
    TimedOut,     // the budget and the last probe passed without a 200
};

class AppDelegate final : public platform::ApplicationDelegate,
                          public platform::WindowDelegate,
                          public platform::WebUIDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    AppDelegate(platform::Application& app, Settings settings);
    ~AppDelegate() override;

    // Lifecycle (app/app_delegate.cpp).
    void applicationDidFinishLaunching() override;
    void showWindow();
    void quitApp();
    bool windowShouldClose() override;
    void applicationShouldHandleReopen(bool hasVisibleWindows) override;
    void applicationWillTerminate() override;

    // Main window and web view (app/main_window.cpp).
    void createMainWindow();
    void webContentProcessDidTerminate() override;
    bool panelIsLoadable() const;
    void reloadWhatWasShown();
    void showPanel();
    void showStartingPage();

    // Page dialogs (ui/js_dialogs.cpp).
    void runJavaScriptAlertPanel(const std::string& message,
                                 std::function<void()> completion) override;
    void runJavaScriptConfirmPanel(const std::string& message,
                                   std::function<void(bool)> completion) override;

    // Status item and menus (ui/status_menu.cpp).
    void createStatusItem();
    void statusItemClicked();
    platform::Menu statusMenu();

    // First-run tip (ui/first_run_tip.cpp).
    void showFirstRunTipIfNeeded();

    // Backend launch (backend/launch.cpp), in its steps.
    void launchBackendAndLoad();
    void refreshCommandCopies(const std::string& backendPath);
    platform::LaunchOptions serviceLaunchOptions(const std::string& backendPath);
    platform::Descriptor openServiceLog();
    void startPanelWait(const std::shared_ptr<platform::KeptTask>& task);
    // An application-modal alert with the one button "退出", then the
    // application's termination: how every failed start ends.
    void alertAndTerminate(std::string message, std::string informative);

    // Panel probe and wait (backend/panel_wait.cpp).
    bool panelResponds() const;
    bool panelIsOurs(const platform::KeptTask& task) const;
    PanelWait waitForPanel(double timeoutSeconds,
                           const std::shared_ptr<platform::KeptTask>& launched);
    void loadPanelOrReportFailure(PanelWait result,
                                  const std::shared_ptr<platform::KeptTask>& launched);

    // Exit watch (backend/exit_monitor.cpp; app/main_window.cpp for the end's
    // first moment).
    void backendDidEnd();
    void backendDidTerminate();
    void showExitAlert(bool portTaken);

    // Shutdown (backend/shutdown.cpp).
    void terminateBackend();

    const Settings& settings() const { return settings_; }
    std::string homeDirectory() const;
    std::string dataDirectory() const;
    std::string bundlePath() const;  // the application package
    std::string keeperPath() const;
    // Single instance, and the record of the service (backend/instance_guard.h).
    InstanceGuard& instanceGuard() { return guard_; }
    platform::Application& application() { return app_; }

    // Fields, in declaration order. All are written on the main thread only.
    std::unique_ptr<platform::Window> window;
    std::unique_ptr<platform::WebView> webView;
    std::unique_ptr<platform::StatusItem> statusItem;
    TaskSlot backendTask;          // also read by the background wait
    std::int32_t backendPGID = 0;  // 0: no Backend service
    bool usedSetsid = false;
    std::atomic<bool> isQuitting{false};  // also read by the termination handler

private:
    using Clock = std::chrono::steady_clock;
    Clock::duration graceDuration() const;

    platform::Application& app_;
    const Settings settings_;
    InstanceGuard guard_;
    platform::Descriptor keeperProgram_;  // the keeper executable, opened at start
    // The service's keeper while the launch waits for its first word.
    std::shared_ptr<platform::KeptTask> starting_;
    bool panelShown_ = false;  // the panel, not the starting page, is in the view
    std::vector<Clock::time_point> webProcessEnds_;  // recent ends of the page's process
    bool recoveryOffered_ = false;                   // the sheet that offers a reload is up
};

}  // namespace kestrix
