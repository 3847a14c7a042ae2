// Stopping the Backend service and everything it started, against hostile
// stand-in services, real signals and the real pgrep.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/processes.h"
#include "backend/pid_list.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

using Clock = std::chrono::steady_clock;

class Shutdown : public ::testing::Test {
protected:
    // Starts the stand-in service with `environment` set and waits for its
    // panel. A wrapper around pgrep counts how often the lister runs.
    std::unique_ptr<Harness> start(Harness::Launcher launcher,
                                   std::vector<std::pair<const char*, const char*>> environment) {
        auto h = std::make_unique<Harness>(KESTRIX_SERVICE_PATH, launcher);
        pgrepLog = h->dir / "pgrep-calls";
        h->settings.pgrepPath = h->dir / "pgrep";
        writeFile(h->settings.pgrepPath,
                  "#!/bin/sh\necho \"$@\" >> '" + pgrepLog + "'\nexec /usr/bin/pgrep \"$@\"\n",
                  0755);
        for (const auto& [name, value] : environment) ::setenv(name, value, 1);
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

    void expectFieldsReset(Harness& h) {
        EXPECT_TRUE(h.delegate->isQuitting);
        EXPECT_EQ(h.delegate->backendPGID, 0);
        EXPECT_FALSE(h.delegate->backendTask);
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
        ::setenv("KESTRIX_STUB_IGNORE_TERM", ignores ? "1" : "0", 1);
        auto h = start(Harness::Launcher::Setsid, {{"KESTRIX_STUB_TREE_DEPTH", "2"},
                                                   {"KESTRIX_STUB_TREE_WIDTH", "2"},
                                                   {"KESTRIX_STUB_DAEMONS", "2"}});
        const auto pids = waitForPids(h->pidFile, 9);
        ASSERT_EQ(pids.size(), 9u);
        std::vector<pid_t> group;
        for (pid_t pid : pids)
            if (platform::processInfo(pid)->pgid == service) group.push_back(pid);
        ASSERT_EQ(group.size(), 7u);

        const auto took = shutDown(*h);
        EXPECT_GE(took, 2900ms);
        EXPECT_LT(took, 8s);
        expectFieldsReset(*h);
        EXPECT_TRUE(waitFor([&] { return allGone(pids); }, 5s));
        ASSERT_TRUE(task->waitUntilExit(Clock::now() + 5s));
        EXPECT_EQ(WIFSIGNALED(*task->terminationStatus()), ignores) << *task->terminationStatus() << "\n" << readFile(h->logPath());
        EXPECT_EQ(zombieChildCount(), 0);
        // The whole group got the one request.
        const auto lines = signalled(*h);
        EXPECT_EQ(lines.size(), 7u);
        for (pid_t pid : group)
            EXPECT_EQ(std::count(lines.begin(), lines.end(), std::to_string(pid) + " TERM"), 1);
    }
}

TEST_F(Shutdown, DirectTreeThatIgnoresSigtermIsKilledWholeDeepestFirst) {
    auto h = start(Harness::Launcher::Direct, {{"KESTRIX_STUB_IGNORE_TERM", "1"},
                                               {"KESTRIX_STUB_TREE_DEPTH", "3"},
                                               {"KESTRIX_STUB_TREE_WIDTH", "2"},
                                               {"KESTRIX_STUB_DAEMONS", "1"}});
    const auto pids = waitForPids(h->pidFile, 16);
    ASSERT_EQ(pids.size(), 16u);
    auto tree = liveDescendants(service);
    EXPECT_EQ(tree.size(), 14u);

    const auto took = shutDown(*h);
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 5s);  // one grace, the walk within it
    expectFieldsReset(*h);
    // Had a parent died before its children were listed, they would have
    // been handed to another parent and escaped the walk; the daemon left
    // the tree, and the keeper stopped it.
    EXPECT_TRUE(waitFor([&] { return allGone(pids); }, 5s));
    // Only the service got the polite request.
    EXPECT_EQ(signalled(*h), std::vector<std::string>{std::to_string(service) + " TERM"});
    EXPECT_EQ(pgrepCalls(), 15);  // one listing per process, leaves included
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
