#include "run/ClaudeRun.h"

#include "Loop.h"
#include "RunProbe.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

class RunSubscription : public ::testing::Test {
protected:
    void publish(const std::string& name) { run->emit({{"event", name}}); }
    void settle() {
        runUntil(
            loop, [] { return false; }, 30ms);
    }

    boost::asio::io_context loop;
    std::shared_ptr<ClaudeRun> run = ClaudeRunProbe::make(loop.get_executor());
};

} // namespace

TEST_F(RunSubscription, LateSubscribersGetTheLogThenLiveEventsEachOnce) {
    auto early = collect(loop.get_executor(), run->subscribe());
    publish("one");
    publish("two");
    publish("three");
    // Subscribed while the early reader has not yet drained anything.
    auto late = collect(loop.get_executor(), run->subscribe());
    publish("four");
    settle();
    auto midway = collect(loop.get_executor(), run->subscribe());
    publish("five");
    ClaudeRunProbe::output(*run, "{\"type\":\"result\",\"result\":\"ok\"}\n");
    settle();
    Strings all{"one", "two", "three", "four", "five", "run.completed"};
    for (auto* received : {early.get(), late.get(), midway.get()}) {
        EXPECT_TRUE(received->ended);
        EXPECT_EQ(received->names(), all);
    }
    EXPECT_EQ(early->texts, midway->texts) << "every subscriber sees the very same texts";
    EXPECT_EQ(ClaudeRunProbe::subscriberCount(*run), 0u);
}

TEST_F(RunSubscription, AnAbandonedSubscriptionIsForgotten) {
    {
        auto reader = run->subscribe();
        run->subscribe().abandon();
        EXPECT_EQ(ClaudeRunProbe::subscriberCount(*run), 1u);
    }
    EXPECT_EQ(ClaudeRunProbe::subscriberCount(*run), 0u);
}
