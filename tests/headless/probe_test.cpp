// The panel probe against real listeners on loopback.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_support.h"

namespace kestrix::test {
namespace {

class Probe : public ::testing::Test {
protected:
    Probe() { h.makeDelegate(); }
    Harness h{""};
};

TEST_F(Probe, RefusedConnectionIsNotReady) {
    EXPECT_FALSE(h.delegate->panelResponds());
}

TEST_F(Probe, OnlyStatus200IsReady) {
    std::atomic<int> status{404};
    TestHttpServer server(static_cast<int>(h.settings.panelPort), [&] { return status.load(); });
    EXPECT_FALSE(h.delegate->panelResponds());
    status = 500;
    EXPECT_FALSE(h.delegate->panelResponds());
    status = 204;
    EXPECT_FALSE(h.delegate->panelResponds());
    status = 200;
    EXPECT_TRUE(h.delegate->panelResponds());
    EXPECT_EQ(server.requestCount(), 4);
}

TEST_F(Probe, SilentListenerTimesOutInAboutTwoSeconds) {
    RawListener silent(static_cast<int>(h.settings.panelPort), "");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(h.delegate->panelResponds());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 10s);
}

TEST_F(Probe, AnswerThatIsNotHttpIsNotReady) {
    RawListener garbage(static_cast<int>(h.settings.panelPort), "SSH-2.0-hello\r\n\r\n");
    EXPECT_FALSE(h.delegate->panelResponds());
}

TEST_F(Probe, ProxyFromTheEnvironmentIsNeverUsed) {
    // A "proxy" that would answer 500 to everything: the probe must go
    // straight to the panel.
    const int proxyPort = freePort();
    TestHttpServer proxy(proxyPort, [] { return 500; });
    TestHttpServer panel(static_cast<int>(h.settings.panelPort), [] { return 200; });
    const std::string proxyURL = "http://127.0.0.1:" + std::to_string(proxyPort);
    ::setenv("http_proxy", proxyURL.c_str(), 1);
    ::setenv("HTTP_PROXY", proxyURL.c_str(), 1);
    ::setenv("ALL_PROXY", proxyURL.c_str(), 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
    EXPECT_TRUE(h.delegate->panelResponds());
    EXPECT_EQ(proxy.requestCount(), 0);
}

}  // namespace
}  // namespace kestrix::test
