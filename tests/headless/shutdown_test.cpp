// Stopping the Backend service and everything it started, against hostile
// stand-in services, real signals and the real pgrep.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "keeper/pid_list.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

using Clock = std::chrono::steady_clock;

class Shutdown : public ::testing::Test {
protected:
    // Starts the stand-in service with `environment` set and waits for its
    // panel. A wrapper around pgrep counts how often the lister runs.
    std::unique_ptr<Harness> start(Harness::Launcher launcher, const Variables& environment) {
        auto h = std::make_unique<Harness>(KESTRIX_SERVICE_PATH, launcher);
        pgrepLog = h->dir / "pgrep-calls";
        h->settings.pgrepPath = h->dir / "pgrep";
        writeFile(h->settings.pgrepPath,
                  "#!/bin/sh\necho \"$@\" >> '" + pgrepLog + "'\nexec /usr/bin/pgrep \"$@\"\n",
                  0755);
        for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
        h->makeDelegate();
        h->delegate->createMainWindow();
        h->delegate->launchBackendAndLoad();
        EXPECT_TRUE(h->pumpUntil([&] { return h->panelLoaded(); }));
        task = h->delegate->backendTask.load();
        service = h->delegate->backendPGID;
        return h;
    }

    // Runs the shutdown and returns how long it took.
    Clock::duration shutDown(Harness& h) {
        const auto started = Clock::now();
        h.delegate->terminateBackend();
        return Clock::now() - started;
    }

    static std::vector<std::string> signalled(Harness& h) { return linesOf(readFile(h.signalLog)); }
    int pgrepCalls() const { return static_cast<int>(linesOf(readFile(pgrepLog)).size()); }

    // Stopped once: a second quit signals nothing and waits for nothing.
    void expectStoppedOnce(Harness& h) {
        const auto before = signalled(h);
        EXPECT_LT(shutDown(h), 1s);
        EXPECT_EQ(signalled(h), before);
    }

    std::string pgrepLog;
    std::shared_ptr<platform::KeptTask> task;
    pid_t service = 0;
};

TEST_F(Shutdown, SetsidGroupGetsSigtermThenWhatIsLeftSigkillAfterTheGrace) {
    // A service that honours the request, and one that ignores it; their
    // children ignore it in both cases, and so do two daemons that left the
    // group for sessions of their own.
    for (const bool ignores : {false, true}) {
        SCOPED_TRACE(ignores);
        auto h = start(Harness::Launcher::Setsid, serviceTree(2, 2, 2, ignores));
        const auto pids = waitForPids(h->pidFile, 9);
        ASSERT_EQ(pids.size(), 9u);
        std::vector<pid_t> group;
        for (pid_t pid : pids)
            if (platform::processInfo(pid)->pgid == service) group.push_back(pid);
        ASSERT_EQ(group.size(), 7u);

        const auto took = shutDown(*h);
        EXPECT_GE(took, 2900ms);
        EXPECT_LT(took, 8s);
        EXPECT_TRUE(waitFor([&] { return allGone(pids); }, 5s));
        // The service stopped on the request, or was killed past the grace.
        EXPECT_EQ(readFile(h->logPath()).find("] stopped") == std::string::npos, ignores)
            << readFile(h->logPath());
        EXPECT_EQ(zombieChildCount(), 0);
        // The whole group got the one request.
        const auto lines = signalled(*h);
        EXPECT_EQ(lines.size(), 7u);
        for (pid_t pid : group)
            EXPECT_EQ(std::count(lines.begin(), lines.end(), std::to_string(pid) + " TERM"), 1);
        expectStoppedOnce(*h);
    }
}

TEST_F(Shutdown, DirectTreeThatIgnoresSigtermIsKilledWholeDeepestFirst) {
    auto h = start(Harness::Launcher::Direct, serviceTree(3, 2, 1));
    const auto pids = waitForPids(h->pidFile, 16);
    ASSERT_EQ(pids.size(), 16u);
    auto tree = liveDescendants(service);
    EXPECT_EQ(tree.size(), 14u);

    const auto took = shutDown(*h);
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 5s);  // one grace, the walk within it
    // Had a parent died before its children were listed, they would have
    // been handed to another parent and escaped the walk; the daemon left
    // the tree, and the keeper stopped it.
    EXPECT_TRUE(waitFor([&] { return allGone(pids); }, 5s));
    // Only the service got the polite request.
    EXPECT_EQ(signalled(*h), std::vector<std::string>{std::to_string(service) + " TERM"});
    EXPECT_EQ(pgrepCalls(), 15);  // one listing per process, leaves included
    expectStoppedOnce(*h);
}

// The child lister's output, as the walk reads it.
TEST(PidList, ReadsSigned32BitIdsLineByLineAndSkipsTheRest) {
    const std::vector<std::pair<std::string, std::vector<pid_t>>> cases = {
        {"12\n345\n", {12, 345}},
        {"\n\n7\n\n8", {7, 8}},  // empty pieces dropped
        {" 12 \n\t34\t\n", {12, 34}},
        {"\u00a012\u3000\n\u2003\u202f77", {12, 77}},  // Unicode spaces are trimmed
        {"+5\n-6\n", {5, -6}},
        {"+\n-\n1a\nabc\n1 2\n++3\n0x10\n4\n", {4}},
        {"12\r\n\v13\n\uff11\uff12\n", {}},  // line breaks and full-width digits are not
        {"2147483647\n-2147483648\n2147483648\n-2147483649\n99999999999999999999\n",
         {2147483647, -2147483647 - 1}},
        {"12\n\xff\xfe\n34\n", {}},  // output that is not UTF-8 counts as empty
        {"12\n\xc0\xaf\n", {}},      // an overlong encoding is not UTF-8
        {"", {}},
    };
    for (const auto& [output, expected] : cases)
        EXPECT_EQ(parsePidList(output), expected) << output;
}

}  // namespace
}  // namespace kestrix::test
