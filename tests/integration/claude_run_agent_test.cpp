// Runs against the scenario-driven stand-in, whose output is shaped like the real agent's.
#include "run/ClaudeRun.h"

#include "FakeAgent.h"
#include "Loop.h"
#include "RunProbe.h"
#include "TempHome.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace pavix;
using namespace pavix::test;
using Strings = std::vector<std::string>;

namespace {

class ClaudeRunAgent : public ::testing::Test {
protected:
    std::shared_ptr<ClaudeRun> start(Scenario scenario) {
        scenario.recordTo(records.path() / "record.jsonl")
            .writeTo(records.path() / "scenario.json");
        ::setenv(scenarioVariable, (records.path() / "scenario.json").c_str(), 1);
        ClaudeRun::Options o;
        o.prompt = "write / test";
        o.cwd = work.path();
        o.binary = fakeAgentPath();
        o.mcpCommand = "/nonexistent/pavix-bridge";
        auto run = ClaudeRun::start(loop.get_executor(), std::move(o));
        ::unsetenv(scenarioVariable);
        EXPECT_TRUE(run.ok()) << run.error().description;
        return run ? *run : nullptr;
    }
    bool waitForEnd(const std::shared_ptr<ClaudeRun>& run) {
        return runUntil(loop, [&] { return run->finished(); });
    }

    boost::asio::io_context loop;
    TempHome home;
    TempFolder work, records;
};

} // namespace

TEST_F(ClaudeRunAgent, AReplyStreamsOnceAndCompletes) {
    auto run = start(scenario::replying("Hello / there."));
    ASSERT_TRUE(run);
    auto received = collect(loop.get_executor(), run->subscribe());
    ASSERT_TRUE(waitForEnd(run));
    ASSERT_TRUE(runUntil(loop, [&] { return received->ended; }));
    auto names = received->names();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "run.completed");
    std::string streamed;
    for (const auto& event : received->events())
        if (event["event"] == "message.delta") streamed += event["delta"].get<std::string>();
    EXPECT_EQ(streamed, "Hello / there.") << "the whole assistant line adds nothing";
    auto status = run->statusJSON();
    EXPECT_EQ(status["output"], "Hello / there.");
    EXPECT_TRUE(status.contains("session_id"));

    auto record = records.path() / "record.jsonl";
    auto starts = recorded(record, "start");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(recordedMessages(record), Strings{"write / test"});
}

TEST_F(ClaudeRunAgent, AStopIsReportedAsCancelled) {
    auto run = start(scenario::working());
    ASSERT_TRUE(run);
    ASSERT_TRUE(runUntil(loop, [&] { return run->statusJSON().contains("last_event"); }));
    run->stop();
    ASSERT_TRUE(waitForEnd(run));
    EXPECT_EQ(run->statusJSON()["status"], "cancelled");
    EXPECT_EQ(eventNames(ClaudeRunProbe::log(*run)).back(), "run.cancelled");
}

TEST_F(ClaudeRunAgent, AModelFailureFailsTheRunWithItsMessage) {
    auto run = start(scenario::failingModel("API Error: 500 Internal server error"));
    ASSERT_TRUE(run);
    ASSERT_TRUE(waitForEnd(run));
    EXPECT_EQ(run->statusJSON()["status"], "failed");
    EXPECT_EQ(run->statusJSON()["error"], "API Error: 500 Internal server error");
}
