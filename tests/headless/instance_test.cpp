// One service at a time: a service whose shell was killed, what a later
// start does about it, and the service's own hold on its port.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/posix/http_probe.h"
#include "platform/posix/proc.h"
#include "support/test_support.h"

namespace kestrix::test {
namespace {

TEST(LostService, AKilledShellsServiceStopsAndTheNextStartClearsWhatIsLeft) {
    Harness h;
    h.settings.shutdownGraceSeconds = 1;
    h.app.defaults.values[kFirstRunTipKey] = true;
    // Children that ignore SIGTERM and stay in the service's group.
    ::setenv("KESTRIX_STUB_TREE_DEPTH", "1", 1);
    ::setenv("KESTRIX_STUB_TREE_WIDTH", "2", 1);
    const pid_t shell = ::fork();
    if (shell == 0) {
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();
        for (;;) ::pause();
    }
    const auto service = waitForPids(h.pidFile, 3);
    ASSERT_EQ(service.size(), 3u);
    ASSERT_TRUE(waitFor([&] { return !readFile(h.dir / "run/backend.record").empty(); }, 10s));
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);

    // The service follows its shell; what it started and ignores the
    // request is still there.
    EXPECT_TRUE(waitFor([&] { return !processAlive(service[0]); }, 10s));
    EXPECT_TRUE(processAlive(service[1]) && processAlive(service[2]));

    // The next start stops it and shows its own panel, not the alert.
    h.makeDelegate();
    h.delegate->applicationDidFinishLaunching();
    EXPECT_TRUE(allGone(service));
    ASSERT_TRUE(h.pumpUntil([&] { return h.panelLoaded(); }));
    EXPECT_TRUE(h.app.modalAlerts.empty());
}

TEST(LostService, WhatTheRecordDoesNotProveOursIsLeftAlone) {
    for (const bool sameBoot : {true, false}) {
        SCOPED_TRACE(sameBoot);
        Harness h;
        // A program that is not ours, in a group of its own, and a panel
        // that answers: the start ends with the already-running alert.
        platform::LaunchOptions options;
        options.executable = kSetsidPath;
        options.arguments = {"/bin/sleep", "1000"};
        auto other = platform::Task::launch(options, nullptr).task;
        ASSERT_TRUE(other);
        ASSERT_TRUE(waitFor(
            [&] {
                return platform::processInfo(other->processIdentifier())->pgid ==
                       other->processIdentifier();
            },
            10s));
        const auto info = platform::processInfo(other->processIdentifier());
        // The right id in another boot, or another start time in this one.
        const auto start = sameBoot ? info->startTime - 1 : info->startTime;
        const std::string boot = sameBoot ? platform::bootId() : "another-boot";
        std::filesystem::create_directories(h.dir / "run");
        writeFile(h.dir / "run/backend.record", "pid=" + std::to_string(info->pid) +
                                                    "\ngroup=1\nstart=" + std::to_string(start) +
                                                    "\nboot=" + boot + "\n");
        Listener older(h.port(), httpStatus(200));
        h.makeDelegate();
        h.delegate->launchBackendAndLoad();

        EXPECT_EQ(h.alertMessages(), std::vector<std::string>{"已有 V3.1 正在运行"});
        EXPECT_TRUE(other->isRunning());
        other->terminate();
        other->waitUntilExit();
    }
}

// The stand-in service on its own, on `port`.
std::shared_ptr<platform::Task> startService(int port) {
    platform::LaunchOptions options;
    options.executable = KESTRIX_SERVICE_PATH;
    options.arguments = {"--no-browser", "-dashboard-addr", "127.0.0.1:" + std::to_string(port)};
    options.environment = platform::currentEnvironment();
    return platform::Task::launch(options, nullptr).task;
}

TEST(Service, ListensRightAfterAnotherProgramAndNeverBesideItself) {
    const int port = freePort();
    {
        // A listener of another program answers one request, then hangs up
        // first and exits: its side of the connection waits out TIME_WAIT
        // on the port.
        std::optional<Listener> other;
        other.emplace(port, [] { return "hello\r\n"; });
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        char reply[64];
        ASSERT_GT(::send(client, "GET / HTTP/1.0\r\n\r\n", 18, 0), 0);
        ASSERT_GT(::recv(client, reply, sizeof reply, 0), 0);
        other.reset();
        ::close(client);
    }
    const auto first = startService(port);
    ASSERT_TRUE(first);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    EXPECT_TRUE(waitFor([&] { return platform::httpGetStatus(url, 2) == 200; }, 10s));

    const auto second = startService(port);
    ASSERT_TRUE(second);
    second->waitUntilExit();
    EXPECT_EQ(WEXITSTATUS(*second->terminationStatus()), 1);
    EXPECT_TRUE(first->isRunning());
    first->terminate();
    first->waitUntilExit();
}

}  // namespace
}  // namespace kestrix::test
