// The runs registry's pruning, driven in-process through the Bridge with quick agents.
#include "bridge/Bridge.h"

#include "ApiCall.h"
#include "FakeAgent.h"
#include "Loop.h"
#include "ScopedEnv.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace pavix;
using namespace pavix::test;

TEST(RunRegistry, AStartKeepsTheTwentyNewestFinishedRunsBesideTheNewOne) {
    TempHome home;
    ScopedEnv plainAgent(scenarioVariable, std::nullopt); // answers "ok" at once
    boost::asio::io_context loop;
    BridgeConfig config;
    config.key = "registry-key";
    Bridge bridge(loop.get_executor(), config, {fakeAgentPath(), "2.1.0"});

    auto ask = [&](std::string method, std::string path, std::string body = "") {
        return respond(loop, bridge,
                       apiRequest(std::move(method), std::move(path), config.key, std::move(body)));
    };
    auto allFinished = [&] { return !bridge.runs().anyUnfinished(); };
    std::vector<std::string> ids;
    auto start = [&] {
        auto response = ask("POST", "/v1/runs", R"({"input": "hi"})");
        ASSERT_EQ(response.status(), 202) << response.body();
        ids.push_back(bodyOf(response)["run_id"]);
    };

    for (int i = 0; i < 21; ++i) {
        start();
        ASSERT_TRUE(runUntil(loop, allFinished));
    }
    EXPECT_EQ(bridge.runs().size(), 21u) << "finishing removes nothing";

    start();
    EXPECT_EQ(bridge.runs().size(), 21u);
    EXPECT_EQ(ask("GET", "/v1/runs/" + ids[0]).status(), 404) << "the oldest goes";
    for (std::size_t i = 1; i < ids.size(); ++i)
        EXPECT_EQ(ask("GET", "/v1/runs/" + ids[i]).status(), 200) << i;
    ASSERT_TRUE(runUntil(loop, allFinished));
}
