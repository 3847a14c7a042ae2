// One service at a time: a service whose shell was killed, and what a later
// start does about it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "backend/service_record.h"
#include "platform/processes.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

// Starts the service from a shell of its own (a forked process) and returns
// that shell's pid once every process of the service has recorded itself.
pid_t startInForkedShell(Harness& h, size_t processes) {
    const pid_t shell = ::fork();
    if (shell == 0) {
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();
        for (;;) ::pause();
    }
    waitForPids(h.pidFile, processes);
    return shell;
}

TEST(LostService, AKilledShellLeavesNothingAndAKilledKeeperIsClearedAtTheNextStart) {
    // Children that ignore SIGTERM in the service's group, and daemons that
    // left it for sessions of their own.
    ::setenv("KESTRIX_STUB_TREE_DEPTH", "1", 1);
    ::setenv("KESTRIX_STUB_TREE_WIDTH", "2", 1);
    ::setenv("KESTRIX_STUB_DAEMONS", "2", 1);
    for (const bool keeperKilled : {false, true}) {
        SCOPED_TRACE(keeperKilled ? "keeper killed too" : "shell killed");
        Harness h;
        h.settings.shutdownGraceSeconds = 1;
        h.app.defaults.values[kFirstRunTipKey] = true;
        const pid_t shell = startInForkedShell(h, 5);
        const auto service = pidsFromFile(h.pidFile);
        ASSERT_EQ(service.size(), 5u);
        ASSERT_TRUE(waitFor([&] { return !readFile(h.dir / "run/backend.record").empty(); }, 10s));
        const pid_t keeper = platform::processInfo(service[0])->ppid;
        if (keeperKilled) ::kill(keeper, SIGKILL);
        ::kill(shell, SIGKILL);
        ::waitpid(shell, nullptr, 0);
        const auto killed = std::chrono::steady_clock::now();

        if (!keeperKilled) {
            // The keeper saw its lifeline cut: nothing is left after the grace.
            EXPECT_TRUE(waitFor([&] { return allGone(service); }, 10s));
            EXPECT_LT(std::chrono::steady_clock::now() - killed, 2500ms);
        } else {
            // The service followed its keeper; what ignores SIGTERM in its
            // group is left to the next start, which stops it and shows its
            // own panel, not the already-running alert.
            EXPECT_TRUE(waitFor([&] { return !processAlive(service[0]); }, 10s));
            EXPECT_TRUE(processAlive(service[1]) && processAlive(service[2]));
            h.start();
            EXPECT_FALSE(processAlive(service[1]) || processAlive(service[2]));
            ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
            EXPECT_TRUE(h.app.modalAlerts.empty());
        }
    }
    ::unsetenv("KESTRIX_STUB_DAEMONS");
    ::unsetenv("KESTRIX_STUB_TREE_DEPTH");
}

// A record that proves nothing: it names `pid` with its real start time, in
// this boot, as keeper and as service, leading a group.
void plantRecord(Harness& h, pid_t pid) {
    const auto info = platform::processInfo(pid);
    ASSERT_TRUE(info);
    ::mkdir((h.dir / "run").c_str(), 0700);
    const auto start = static_cast<long long>(info->startTime);
    writeFile(h.dir / "run/backend.record",
              formatServiceRecord({pid, start, pid, start, true, platform::bootId(), true}));
}

// Starts the program with that record and expects the panel, not an alert.
void expectPanelDespiteRecord(Harness& h, pid_t named) {
    plantRecord(h, named);
    EXPECT_TRUE(h.startShowsPanel());
}

TEST(LostService, ARecordActsOnlyOnProcessesThatProveThemselvesOurs) {
    {
        SCOPED_TRACE("another program of the user, in a group of its own");
        Harness h;
        auto other = startSleeper();
        ASSERT_TRUE(other);
        expectPanelDespiteRecord(h, other->processIdentifier());
        EXPECT_TRUE(other->isRunning());
    }
    if (::geteuid() != 0) GTEST_SKIP() << "the other cases need root (a pid namespace, setpriv)";
    {
        SCOPED_TRACE("process 1, in a pid namespace of the test's own, with another process");
        inForkedChild([] {
            auto other = startSleeper();
            {
                Harness h;
                expectPanelDespiteRecord(h, 1);
            }
            EXPECT_TRUE(other->isRunning());
        }, CLONE_NEWPID | CLONE_NEWNS);
    }
    {
        SCOPED_TRACE("a world-writable runtime directory, its lock held by another account");
        Harness h;
        std::filesystem::create_directories(h.dir / "run");
        ASSERT_EQ(::chown((h.dir / "run").c_str(), 65534, 65534), 0);
        ::chmod((h.dir / "run").c_str(), 0777);
        ::chmod(h.dir.path().c_str(), 0755);
        platform::LaunchOptions options;
        options.executable = "/usr/bin/setpriv";
        options.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/flock",
                             h.dir / "run/instance.lock", "/bin/sleep", "1000"};
        auto holder = startChild(options);
        ASSERT_TRUE(holder);
        ASSERT_TRUE(
            waitFor([&] { return std::filesystem::exists(h.dir / "run/instance.lock"); }, 10s));
        EXPECT_TRUE(h.startShowsPanel());
        killAll(liveDescendants(holder->processIdentifier()));
        holder->signal(SIGKILL);
    }
}

}  // namespace
}  // namespace kestrix::test
