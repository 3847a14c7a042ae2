// Under a systemd user manager, the keeper and everything below it live in
// a scope unit of their launch's own: run against a real manager, started
// for the test as an unprivileged user in namespaces of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <utility>

#include "platform/ports.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

// Whether `pid` is in a backend scope of the program's.
bool inBackendScope(pid_t pid) {
    for (const auto& line : linesOf(readFile(procPath(pid, "cgroup"))))
        if (line.starts_with("0::"))
            return line.find("/app-io.kestrix.V3NativeShell-backend-") != std::string::npos;
    return false;
}

bool active(const std::string& unit) {
    return !unit.empty() &&
           std::system(("systemctl --user --quiet is-active '" + unit + "'").c_str()) == 0;
}

TEST(Scope, UnderAUserManagerEverythingALaunchStartsLivesAndEndsInItsOwnScope) {
    if (!std::getenv("KESTRIX_UNDER_USER_MANAGER")) {
        // Outside: run this very test again under a manager of its own.
        const std::string recipe = KESTRIX_SOURCE_DIR "/scripts/user-manager.sh";
        if (::geteuid() != 0 || !std::filesystem::exists(recipe))
            GTEST_SKIP() << "needs root and " << recipe << " to start a user manager";
        // What the manager's user runs and reads, where it can.
        const std::string self = forAnyAccount(std::filesystem::read_symlink("/proc/self/exe"));
        for (const char* file : {KESTRIX_KEEPER_PATH, KESTRIX_SERVICE_PATH,
                                 KESTRIX_SOURCE_DIR "/tests/support/script_service.sh"})
            forAnyAccount(file);
        const int status = std::system(
            ("'" + recipe + "' -- env KESTRIX_UNDER_USER_MANAGER=1 KESTRIX_TEST_SHARED='" +
             sharedDirectory() + "' '" + self + "' --gtest_filter=Scope.*")
                .c_str());
        if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no user manager can start here";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return;
    }
    // The manager runs this test: a stopped manager takes connections and
    // never answers, and the keeper passes it over within its bound.
    const pid_t manager = ::getppid();
    ASSERT_EQ(readFile(procPath(manager, "comm")), "systemd\n");
    // The service as users ship it (its helpers non-dumpable, or with an
    // empty environment, are the scope's like the rest).
    Harness h;
    installScriptService(h);
    h.settings.shutdownGraceSeconds = 1;
    for (const std::string round : {"the program and its keeper killed", "a quit",
                                    "a manager that never answers", "a killed keeper"}) {
        SCOPED_TRACE(round);
        const bool silent = round == "a manager that never answers";
        std::vector<platform::ProcessInfo> tree;
        platform::Scope scope;
        if (round == "the program and its keeper killed") {
            // The next start stops what the scope holds, before anything.
            // In a process of its own, which runs no thread when it forks
            // the program (ThreadSanitizer allows no other).
            inForkedChild([&] {
                ForkedProgram killed(h);
                killed.killWithKeeper();
                const platform::Scope left{killed.record.scope, killed.record.cgroup};
                ASSERT_TRUE(left && active(left.unit));
                EXPECT_TRUE(h.startShowsPanel());
                EXPECT_EQ(killed.tree.size(), kScriptServiceProcesses);
                EXPECT_TRUE(noneLeft(killed.tree));
                EXPECT_FALSE(active(left.unit));
            });
            continue;
        } else {
            if (silent) ::kill(manager, SIGSTOP);
            const bool shown = h.startShowsPanel();
            if (silent) ::kill(manager, SIGCONT);
            ASSERT_TRUE(shown);
            tree = waitForTree(h.keeper(), kScriptServiceProcesses);
            scope = h.delegate->backendTask.load()->scope();
            EXPECT_EQ(static_cast<bool>(scope), !silent);
            EXPECT_EQ(active(scope.unit), !silent);
            for (const auto& p : tree) EXPECT_EQ(inBackendScope(p.pid), !silent) << p.pid;
            if (round == "a killed keeper") {
                // The program stops the scope before the exit alert, which
                // is answered "退出".
                ::kill(h.keeper(), SIGKILL);
                h.app.modalResponder = [&](const auto&) {
                    EXPECT_TRUE(noneLeft(tree) && !active(scope.unit));
                    return kSecondButton;
                };
                EXPECT_TRUE(h.pumpUntil([&] { return h.app.isTerminating(); }));
            } else {
                h.delegate->terminateBackend();
            }
        }
        EXPECT_EQ(tree.size(), kScriptServiceProcesses);
        EXPECT_TRUE(waitFor([&] { return noneLeft(tree); }, 5s));
        EXPECT_TRUE(waitFor([&] { return !active(scope.unit); }, 10s));
        // The next start (the next round), once this delegate has let go of the lock.
        std::weak_ptr<AppDelegate> weak = std::exchange(h.delegate, nullptr);
        ASSERT_TRUE(h.pumpUntil([&] { return weak.expired(); }));
    }
    // A listener of the same user on 0.0.0.0, outside the launch's scope,
    // that took the port first: never our panel, though a helper of our
    // service cannot be read.
    Harness squatted;
    installScriptService(squatted);
    const auto squatter = startCommand({forAnyAccount(KESTRIX_SERVICE_PATH), "--no-browser",
                                        "-dashboard-addr", panelAddress(squatted.settings)},
                                       {"KESTRIX_STUB_BIND=0.0.0.0"});
    ASSERT_TRUE(waitFor([&] { return platform::addressInUse(kPanelHost, squatted.port()); }, 10s));
    squatted.app.modalResponder = [](const auto&) { return kSecondButton; };
    EXPECT_FALSE(squatted.startShowsPanel());
    EXPECT_FALSE(squatted.panelLoaded());

    // Another instance, in a scope of its own, and a record that names that
    // scope with the control group of another: the unit is not the recorded
    // one, and is left alone.
    Harness other;
    ASSERT_TRUE(other.startShowsPanel());
    const auto otherTree = waitForTree(other.keeper(), 1);
    const platform::Scope otherScope = other.delegate->backendTask.load()->scope();
    ASSERT_TRUE(otherScope && active(otherScope.unit));
    ServiceRecord planted;
    planted.present = true;
    planted.boot = platform::bootId();
    planted.scope = otherScope.unit;
    planted.cgroup = otherScope.cgroupId + 1;
    EXPECT_TRUE(showsPanelDespite(planted));
    EXPECT_TRUE(active(otherScope.unit) && !noneLeft(otherTree));
}

}  // namespace
}  // namespace kestrix::test
