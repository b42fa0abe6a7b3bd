#include "BridgeServer.h"
#include "PeerNamespace.h"

#include <gtest/gtest.h>

using namespace pavix::test;

namespace {

const json unauthorized = {{"error", "unauthorized"}};

std::string approvalRequest(const std::string& key) {
    return "POST /internal/approve HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + key +
           "\r\nContent-Length: 2\r\n\r\n{}";
}

} // namespace

// What the in-process Bridge tests cannot show: the real parser's headers reaching the
// key check, and the health object as the phone reads it, with the agent's version.
TEST(BridgeApi, HealthIsOpenAndEverythingElseNeedsTheKey) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    EXPECT_EQ(bridge.client().get("/health", false).json()["claude_code"], "2.1.0");
    EXPECT_EQ(bridge.client().get("/api/sessions", false).json(), unauthorized);
    // Header names and the scheme are matched without regard to case.
    auto shouted = parseResponse(bridge.client().exchange(
        "GET /api/jobs HTTP/1.1\r\nAUTHORIZATION: bearer " + bridge.key() + "\r\n\r\n"));
    EXPECT_EQ(shouted.status, 200) << shouted.raw;
    EXPECT_EQ(shouted.json(), (json{{"jobs", json::array()}}));
}

// The approval tool runs on this machine: the same key from anywhere else is refused.
TEST(BridgeApi, InternalApprovalAnswersOnlyLoopbackPeers) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto local = parseResponse(bridge.client().exchange(approvalRequest(bridge.key())));
    EXPECT_EQ(local.status, 200) << local.raw;
    EXPECT_EQ(local.json(), (json{{"choice", "deny"}}));

    auto peer = PeerNamespace::create();
    if (!peer) GTEST_SKIP() << "no namespace of our own: " << peer.error().description;
    auto remote = (*peer)->exchange(bridge.port(), approvalRequest(bridge.key()));
    ASSERT_EQ(remote.status, 0) << remote.err;
    auto refused = parseResponse(remote.out);
    EXPECT_EQ(refused.status, 401) << refused.raw;
    EXPECT_EQ(refused.json(), unauthorized);

    // The same peer and key are good for the rest of the API.
    auto sessions = parseResponse(
        (*peer)
            ->exchange(bridge.port(), "GET /api/sessions HTTP/1.1\r\nAuthorization: Bearer " +
                                          bridge.key() + "\r\n\r\n")
            .out);
    EXPECT_EQ(sessions.status, 200) << sessions.raw;
    EXPECT_EQ(sessions.json(), (json{{"data", json::array()}}));
}
