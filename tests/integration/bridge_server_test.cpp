#include "BridgeServer.h"

#include "config/BridgeConfig.h"

#include <gtest/gtest.h>

using namespace pavix::test;

// The harness other integration tests stand on: the real service on its own home and port.
TEST(BridgeServer, ServesOnItsOwnPortAndHomeAcrossRestarts) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    EXPECT_TRUE(bridge.waitForLog("pavix-bridge on port " + std::to_string(bridge.port())));
    auto config = pavix::BridgeConfig::loadOrCreate(); // $HOME is the bridge's home
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config->port, bridge.port());
    EXPECT_EQ(config->key, bridge.key());

    auto answer = bridge.client().get("/no/such/endpoint");
    EXPECT_NE(answer.status, 0) << answer.raw;
    EXPECT_TRUE(answer.json().is_object()) << answer.raw;
    EXPECT_EQ(answer.headers["connection"], "close");

    pid_t first = bridge.pid();
    ASSERT_TRUE(bridge.restart());
    EXPECT_NE(bridge.pid(), first);
    EXPECT_NE(bridge.client().get("/no/such/endpoint").status, 0);
    EXPECT_GE(bridge.stop(), 0);
    EXPECT_FALSE(bridge.running());
    EXPECT_FALSE(Connection(bridge.port()).connected());
}

TEST(BridgeServer, RawExchange) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    std::string reply = bridge.client().exchange("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 ", 0), 0u) << reply;
    EXPECT_EQ(parseResponse(reply).status, bridge.client().get("/x", false).status);
}
