// Under a systemd user manager, the keeper and everything below it live in
// a scope unit of the program's: run against a real manager, started for
// the test as an unprivileged user in namespaces of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/processes.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

const std::string kScope = "app-io.kestrix.V3NativeShell-backend.scope";

// Whether `pid` is in the program's scope.
bool inScope(pid_t pid) {
    for (const auto& line : linesOf(readFile("/proc/" + std::to_string(pid) + "/cgroup")))
        if (line.rfind("0::", 0) == 0) return line.ends_with("/" + kScope);
    return false;
}

bool scopeActive() {
    return std::system(("systemctl --user --quiet is-active " + kScope).c_str()) == 0;
}

TEST(Scope, UnderAUserManagerTheServiceAndItsDaemonsLiveAndEndInTheProgramsScope) {
    if (!std::getenv("KESTRIX_UNDER_USER_MANAGER")) {
        // Outside: run this very test again under a manager of its own.
        const std::string recipe = KESTRIX_SOURCE_DIR "/scripts/user-manager.sh";
        if (::geteuid() != 0 || !std::filesystem::exists(recipe))
            GTEST_SKIP() << "needs root and " << recipe << " to start a user manager";
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        const int status = std::system(("'" + recipe + "' -- env KESTRIX_UNDER_USER_MANAGER=1 '" +
                                        self + "' --gtest_filter=Scope.*")
                                           .c_str());
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no user manager can start here";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return;
    }
    ::setenv("KESTRIX_STUB_DAEMONS", "2", 1);
    Harness h;
    h.settings.shutdownGraceSeconds = 1;
    // The manager runs this test: a stopped manager takes connections and
    // never answers, and the keeper passes it over within its bound.
    const pid_t manager = ::getppid();
    ASSERT_EQ(readFile("/proc/" + std::to_string(manager) + "/comm"), "systemd\n");
    for (const std::string round : {"a quit", "a manager that never answers", "a killed keeper"}) {
        SCOPED_TRACE(round);
        const bool silent = round == "a manager that never answers";
        std::filesystem::remove(h.pidFile);
        if (silent) ::kill(manager, SIGSTOP);
        const bool shown = h.startShowsPanel();
        if (silent) ::kill(manager, SIGCONT);
        ASSERT_TRUE(shown);
        const auto service = waitForPids(h.pidFile, 3);
        ASSERT_EQ(service.size(), 3u);
        EXPECT_EQ(scopeActive(), !silent);
        for (pid_t pid : service) EXPECT_EQ(inScope(pid), !silent) << pid;
        if (round == "a killed keeper") {
            // The shell stops what the killed keeper held; the scope, emptied,
            // goes. The exit alert that follows is answered "退出".
            ::kill(h.delegate->backendTask.load()->keeperIdentifier(), SIGKILL);
            h.app.modalResponder = [](const auto&) { return platform::kAlertSecondButtonReturn; };
        } else {
            h.delegate->terminateBackend();
        }
        EXPECT_TRUE(waitFor([&] { return allGone(service); }, 5s));
        EXPECT_TRUE(waitFor([&] { return !scopeActive(); }, 10s));
        // The next start (the next round), once this delegate has let go of the lock.
        std::weak_ptr<AppDelegate> weak = std::exchange(h.delegate, nullptr);
        ASSERT_TRUE(h.pumpUntil([&] { return weak.expired(); }));
    }
}

}  // namespace
}  // namespace kestrix::test
