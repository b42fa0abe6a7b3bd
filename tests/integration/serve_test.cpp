#include "BridgeServer.h"
#include "RunProgram.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pavix::test;

TEST(Serve, ListensOnTheConfiguredPortAndAnswersNotFound) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    ASSERT_TRUE(bridge.waitForLog("] listening\n"));
    std::string log = bridge.log();
    auto announced = log.find("] pavix-bridge on port " + std::to_string(bridge.port()) + "\n");
    ASSERT_NE(announced, std::string::npos) << log;
    EXPECT_GT(log.find("] listening\n"), announced);

    EXPECT_EQ(bridge.client().exchange("GET /anything HTTP/1.1\r\nAuthorization: Bearer " +
                                       bridge.key() + "\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n\r\n{\"error\":\"not found\"}");

    // A second service cannot have the same port ($HOME is the first one's home).
    auto second = runBridge({"serve"});
    EXPECT_EQ(second.status, 1);
    EXPECT_THAT(second.err, testing::ContainsRegex("\\] (couldn't start|listener failed): "));
    EXPECT_EQ(second.out, "");
}
