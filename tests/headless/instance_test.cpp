// What a service leaves when the program and its keeper are killed,
// whatever the service runs; and that nothing else is ever touched: another
// instance, the user's own run of the service, another account. (The keeper
// killed alone: ExitMonitor.AnEndOfEitherKind....)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

TEST(LostService, AKilledProgramsLeftoversAreStoppedAtTheNextStartAndNothingElseEver) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: pid and network namespaces, another uid";
    inForkedChild(
        [] {
            // This program, killed with its keeper (forked first, while nothing
            // here runs a thread): everything that carries its mark goes at the
            // next start, all but the helper started with an empty environment
            // (root reads every process's environment, the non-dumpable one's
            // too).
            Harness h;
            h.settings.shutdownGraceSeconds = 1;
            installScriptService(h);
            ForkedProgram killed(h);
            std::vector<platform::ProcessInfo> marked;
            for (const auto& p : killed.tree)
                if (linesOf(readFile(procPath(p.pid, "cmdline")), '\0') !=
                    linesOf("/bin/sleep 600", ' '))
                    marked.push_back(p);
            EXPECT_EQ(marked.size(), kScriptServiceProcesses - 1);
            killed.killWithKeeper();

            // Meanwhile another instance of ours (its own runtime directory, the
            // same home), the user's own run of the service with that data
            // directory, and another account's process carrying a mark.
            const std::string home = h.settings.homeDirectory, strangerMark(32, 'f');
            Harness other;
            other.settings.homeDirectory = home;
            ASSERT_TRUE(other.startShowsPanel());
            const auto otherTree = waitForTree(other.keeper(), 1);
            const auto handRun =
                startCommand({KESTRIX_SERVICE_PATH, "--no-browser", "-dashboard-addr",
                              "127.0.0.1:" + std::to_string(freePort())},
                             {std::string(kDataDirVariable) + "=" + home + "/.vantrel-v3"});
            const auto stranger =
                startCommand(asNobody({"/bin/sleep", "600"}),
                             {std::string(kLaunchMarkVariable) + "=" + strangerMark});
            // The main loop runs while they are being stopped.
            bool loopRanMeanwhile = false;
            h.app.postToMainQueue([&] { loopRanMeanwhile = !noneLeft(marked); });
            EXPECT_TRUE(h.startShowsPanel());
            EXPECT_TRUE(noneLeft(marked));
            EXPECT_TRUE(loopRanMeanwhile);

            // Records that prove nothing: the other instance's, whose keeper
            // runs; its mark from another boot; another account's mark.
            ServiceRecord planted = parseServiceRecord(readFile(other.dir / "run/backend.record"));
            ASSERT_EQ(planted.keeper, other.keeper());
            EXPECT_TRUE(showsPanelDespite(planted, home));
            planted.keeperStart = 0;
            planted.boot = "another boot";
            EXPECT_TRUE(showsPanelDespite(planted, home));
            planted.boot = platform::bootId();
            planted.mark = strangerMark;
            EXPECT_TRUE(showsPanelDespite(planted, home));
            EXPECT_TRUE(otherTree.size() == 1 && !noneLeft(otherTree));
            EXPECT_TRUE(handRun->isRunning() && stranger->isRunning());
            killAll(liveDescendants(stranger->processIdentifier()));

            // Nor can another account block a start through a runtime
            // directory it can write, its lock held there.
            Harness next;
            std::filesystem::create_directories(next.dir / "run");
            ASSERT_EQ(::chown((next.dir / "run").c_str(), 65534, 65534), 0);
            ::chmod((next.dir / "run").c_str(), 0777);
            ::chmod(next.dir.path().c_str(), 0755);
            const auto holder = startCommand(
                asNobody({"/usr/bin/flock", next.dir / "run/instance.lock", "/bin/sleep", "600"}));
            ASSERT_TRUE(waitFor(
                [&] { return std::filesystem::exists(next.dir / "run/instance.lock"); }, 10s));
            EXPECT_TRUE(next.startShowsPanel());
            killAll(liveDescendants(holder->processIdentifier()));
        },
        CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET);
}

TEST(LostService, AProgramStartedFromItsOwnServicesTreeIsNotStoppedWithIt) {
    // Started from a terminal that the service opened, the program carries
    // the mark that the record names, and so does that terminal.
    if (const char* mark = std::getenv(kLaunchMarkVariable)) {
        ServiceRecord record;
        record.boot = platform::bootId();
        record.mark = mark;
        record.present = true;
        EXPECT_TRUE(showsPanelDespite(record));
        return;
    }
    const auto program = startCommand(
        {std::filesystem::read_symlink("/proc/self/exe"),
         "--gtest_filter=LostService.AProgramStartedFromItsOwnServicesTreeIsNotStoppedWithIt"},
        environmentWith({{kLaunchMarkVariable, std::string(32, 'a')}}));
    ASSERT_TRUE(program);
    program->waitUntilExit();
    EXPECT_EQ(program->terminationStatus(), 0);
}

}  // namespace
}  // namespace kestrix::test
