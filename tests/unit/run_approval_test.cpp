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

// One approval request in flight; `choice` is set when it returns.
struct Asked {
    std::optional<std::string> choice;
};

class RunApproval : public ::testing::Test {
protected:
    std::shared_ptr<Asked> ask(std::string tool, json input = json::object()) {
        auto asked = std::make_shared<Asked>();
        spawn(
            loop.get_executor(),
            [](std::shared_ptr<ClaudeRun> run, std::string tool, json input,
               std::shared_ptr<Asked> asked) -> asio::awaitable<void> {
                asked->choice = co_await run->requestApproval(tool, input);
            }(run, std::move(tool), std::move(input), asked),
            "approval");
        settle();
        return asked;
    }
    void settle() {
        runUntil(
            loop, [] { return false; }, 20ms);
    }
    bool answered(const Asked& asked) {
        return runUntil(loop, [&] { return asked.choice.has_value(); });
    }
    std::vector<json> events() {
        std::vector<json> parsed;
        for (const auto& text : ClaudeRunProbe::log(*run))
            parsed.push_back(json::parse(text));
        return parsed;
    }
    std::string status() { return run->statusJSON()["status"]; }

    boost::asio::io_context loop;
    std::shared_ptr<ClaudeRun> run = makeRun(600s);
    std::shared_ptr<ClaudeRun> makeRun(std::chrono::steady_clock::duration timeout) {
        ClaudeRun::Options options;
        options.approvalTimeout = timeout;
        return ClaudeRunProbe::make(loop.get_executor(), std::move(options));
    }
};

} // namespace

TEST_F(RunApproval, TheRequestDescribesTheToolAndWaitsForTheAnswer) {
    std::string longCommand(5000, 'c');
    auto asked = ask("Bash", {{"command", longCommand}, {"description", "lists / files"}});
    EXPECT_FALSE(asked->choice);
    EXPECT_EQ(status(), "waiting_for_approval");
    EXPECT_EQ(events().back(), (json{{"event", "approval.request"},
                                     {"heading", "claude code wants to use Bash"},
                                     {"choices", {"once", "session", "deny"}},
                                     {"command", longCommand},
                                     {"description", "lists / files"}}));
    EXPECT_TRUE(run->resolveApproval("once"));
    ASSERT_TRUE(answered(*asked));
    EXPECT_EQ(*asked->choice, "once");
    EXPECT_EQ(status(), "running");
    EXPECT_EQ(events().back(), (json{{"event", "approval.responded"}, {"choice", "once"}}));
    EXPECT_FALSE(run->resolveApproval("once")) << "nothing is waiting any more";
    EXPECT_EQ(events().size(), 2u);
}

TEST_F(RunApproval, DescriptionFallsBackToThePreviewOfTheInput) {
    auto mcp = ask("mcp__files__write", {{"file_path", "/tmp/a"}, {"command", 3}});
    EXPECT_EQ(events().back(), (json{{"event", "approval.request"},
                                     {"heading", "claude code wants to use write"},
                                     {"choices", {"once", "session", "deny"}},
                                     {"description", "/tmp/a"}}));
    auto described = ask("Bash", {{"command", "ls"}, {"description", 4}});
    EXPECT_FALSE(events().back().contains("description"));
    run->resolveApproval("deny");
}

TEST_F(RunApproval, SessionAllowsTheToolForTheRestOfTheRunOnceAsksAgain) {
    auto first = ask("Bash");
    run->resolveApproval("session");
    ASSERT_TRUE(answered(*first));
    EXPECT_EQ(*first->choice, "session");
    auto count = events().size();

    auto shortcut = ask("Bash", {{"command", "rm -rf /"}});
    ASSERT_TRUE(answered(*shortcut));
    EXPECT_EQ(*shortcut->choice, "once");
    EXPECT_EQ(events().size(), count) << "the shortcut publishes nothing";
    EXPECT_EQ(status(), "running");

    auto other = ask("Write");
    run->resolveApproval("once");
    ASSERT_TRUE(answered(*other));
    auto again = ask("Write");
    EXPECT_FALSE(again->choice) << "once does not remember";
    run->resolveApproval("whatever the phone sent");
    ASSERT_TRUE(answered(*again));
    EXPECT_EQ(*again->choice, "whatever the phone sent");
}

TEST_F(RunApproval, ANewerRequestDeniesTheOlderSilently) {
    auto older = ask("Bash");
    auto newer = ask("Write");
    ASSERT_TRUE(answered(*older));
    EXPECT_EQ(*older->choice, "deny");
    EXPECT_FALSE(newer->choice);
    EXPECT_EQ(status(), "waiting_for_approval");
    EXPECT_EQ(eventNames(ClaudeRunProbe::log(*run)),
              (Strings{"approval.request", "approval.request"}));
    EXPECT_TRUE(run->resolveApproval("once"));
    ASSERT_TRUE(answered(*newer));
    EXPECT_EQ(*newer->choice, "once");
}

TEST_F(RunApproval, EachRequestTimesOutOnItsOwnClock) {
    // The first request is answered halfway through its timeout; the second, asked then,
    // must outlive the moment the first one's timer would have fired.
    run = makeRun(3s);
    auto first = ask("Bash");
    runUntil(
        loop, [] { return false; }, 1500ms);
    ASSERT_TRUE(run->resolveApproval("once"));
    ASSERT_TRUE(answered(*first));
    auto second = ask("Write");
    runUntil(
        loop, [] { return false; }, 1800ms);
    EXPECT_FALSE(second->choice) << "denied by the first request's timer";
    ASSERT_TRUE(answered(*second));
    EXPECT_EQ(*second->choice, "deny");
    EXPECT_EQ(events().back(), (json{{"event", "approval.responded"}, {"choice", "deny"}}));
    EXPECT_EQ(status(), "running");
}

TEST_F(RunApproval, StoppingOrFinishingDeniesTheWaitingRequest) {
    auto stopped = ask("Bash");
    run->stop();
    ASSERT_TRUE(answered(*stopped));
    EXPECT_EQ(*stopped->choice, "deny");
    EXPECT_EQ(events().back(), (json{{"event", "approval.responded"}, {"choice", "deny"}}));
    EXPECT_EQ(status(), "running") << "a stop ends the run only when Claude Code ends";

    auto finishing = ask("Bash");
    ClaudeRunProbe::ended(*run, 0);
    ASSERT_TRUE(answered(*finishing));
    EXPECT_EQ(*finishing->choice, "deny");
    EXPECT_EQ(status(), "cancelled");
    EXPECT_EQ(eventNames(ClaudeRunProbe::log(*run)).back(), "approval.responded");

    // Asked after the end: published and answerable, but the status stays final.
    auto late = ask("Bash");
    EXPECT_EQ(status(), "cancelled");
    EXPECT_TRUE(run->resolveApproval("once"));
    ASSERT_TRUE(answered(*late));
    EXPECT_EQ(status(), "cancelled");
}

TEST_F(RunApproval, ADroppedRunReleasesItsWaitingRequest) {
    auto asked = std::make_shared<Asked>();
    // Unlike `ask`, the waiting caller holds no reference to the run.
    auto request = run->requestApproval("Bash", json::object());
    spawn(
        loop.get_executor(),
        [](asio::awaitable<std::string> request,
           std::shared_ptr<Asked> asked) -> asio::awaitable<void> {
            asked->choice = co_await std::move(request);
        }(std::move(request), asked),
        "approval");
    settle();
    EXPECT_EQ(status(), "waiting_for_approval");
    run.reset();
    ASSERT_TRUE(answered(*asked));
    EXPECT_EQ(*asked->choice, "deny");
}
