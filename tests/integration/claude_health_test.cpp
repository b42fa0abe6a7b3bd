#include "BridgeServer.h"

#include <gtest/gtest.h>

using namespace pavix::test;

// The service finds the agent once at start, asks its version once, and reports both
// with the sign-in state, which it looks up afresh for every request.
TEST(ClaudeHealth, VersionProbedOnceAtStartAndSignInLookedUpEachTime) {
    BridgeServer bridge;
    bridge.setScenario(Scenario().version("3.4.5 (Claude Code)\n"));
    ASSERT_TRUE(bridge.start());
    auto health = bridge.client().get("/health", false);
    ASSERT_EQ(health.status, 200) << health.raw;
    EXPECT_EQ(health.json()["claude_code"], "3.4.5");
#ifdef __linux__
    EXPECT_EQ(health.json()["signed_in"], false);
    writeText(bridge.homePath() / ".claude/.credentials.json", "{}", 0600);
    EXPECT_EQ(bridge.client().get("/health", false).json()["signed_in"], true);
#endif
    auto probes = recorded(bridge.recordFile(), "start");
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes[0]["args"], json::array({"--version"}));
    EXPECT_EQ(probes[0]["fds"], json::array({0, 1, 2}));

    // A new version is seen after a restart, not before.
    bridge.setScenario(Scenario().version("3.4.6\n"));
    EXPECT_EQ(bridge.client().get("/health", false).json()["claude_code"], "3.4.5");
    ASSERT_TRUE(bridge.restart());
    EXPECT_EQ(bridge.client().get("/health", false).json()["claude_code"], "3.4.6\n");
}
