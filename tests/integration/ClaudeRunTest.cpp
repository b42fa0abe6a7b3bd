// One run in-process with the fake agent, where its approval timeout can be short and the
// loop runs only when the test lets it.
#include "BridgeServer.h"
#include "Loop.h"

#include "run/ClaudeRun.h"

#include <gtest/gtest.h>

using namespace pavix;
using namespace pavix::test;

TEST(ClaudeRun, EachApprovalTimesOutOnItsOwnClockAndANewerOneDeniesTheOlder) {
    TempHome home;
    // A tool's start written (then recorded as done) before the first request, unread yet.
    writeText(home.path() / "scenario.json",
              R"({"start": [{"tool_use": {"name": "Bash"}}, {"spawn": ["true"]}],
                  "turn": [{"sleep": 3600}], "record": ")" +
                  (home.path() / "record").string() + "\"}");
    ::setenv("FAKE_AGENT_SCENARIO", (home.path() / "scenario.json").c_str(), 1);
    asio::io_context loop;
    ClaudeRun::Options options;
    options.prompt = "hi";
    options.command.folder = home.path();
    options.command.binary = FAKE_CLAUDE_PATH;
    options.command.approvalServer = PAVIX_BRIDGE_PATH;
    options.approvalTimeout = 2s;
    auto run = ClaudeRun::start(loop.get_executor(), options).value();
    ::unsetenv("FAKE_AGENT_SCENARIO");
    auto names = std::make_shared<std::vector<json>>();
    spawn(
        loop.get_executor(),
        [](auto reader, auto names) -> asio::awaitable<void> {
            for (std::string_view frame = co_await reader->next(1); !frame.empty();
                 frame = co_await reader->next(1))
                names->push_back(json::parse(frame.substr(6))); // after "data: "
        }(run->read(0, false), names),
        "reading events");
    auto ask = [&](std::string tool) {
        auto choice = std::make_shared<std::optional<ApprovalChoice>>();
        spawn(
            loop.get_executor(),
            [](auto run, std::string tool, auto choice) -> asio::awaitable<void> {
                *choice = co_await run->requestApproval(tool, json::object());
            }(run, tool, choice),
            "asking");
        runFor(loop, 50ms);
        return choice;
    };

    ASSERT_TRUE(eventually(
        [&] { return readText(home.path() / "record").find("spawn") != std::string::npos; }));
    auto first = ask("Bash");
    runFor(loop, 1s);
    ASSERT_TRUE(run->resolveApproval(ApprovalChoice::once));
    // Asked halfway through the first one's time: it must outlive that one's timer.
    auto second = ask("Write");
    EXPECT_EQ(*first, ApprovalChoice::once);
    runFor(loop, 1500ms);
    EXPECT_EQ(*second, std::nullopt) << "answered by the first request's timer";
    EXPECT_TRUE(runUntil(loop, [&] { return second->has_value(); }));
    EXPECT_EQ(*second, ApprovalChoice::deny);
    auto third = ask("Edit");
    auto fourth = ask("Read");
    EXPECT_EQ(*third, ApprovalChoice::deny) << "a newer request denies the older, silently";
    ASSERT_TRUE(run->resolveApproval(ApprovalChoice::once));
    run->stop();
    ASSERT_TRUE(runUntil(loop, [&] { return run->finished() && !run->processRunning(); }));
    runFor(loop, 50ms);
    EXPECT_EQ(*fourth, ApprovalChoice::once);
    std::string told;
    for (const json& event : *names)
        told +=
            event.value("choice", event.value("heading", event["event"].get<std::string>())) + "; ";
    EXPECT_EQ(told, "tool.started; claude code wants to use Bash; once; "
                    "claude code wants to use Write; deny; "
                    "claude code wants to use Edit; claude code wants to use Read; once; "
                    "run.cancelled; ");
}
