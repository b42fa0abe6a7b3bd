// One run in-process with the fake agent, where its approval timeout can be short and the
// loop runs only when the test lets it, and its event log read as a stream reads it.
#include "BridgeServer.h"
#include "Loop.h"

#include "http/EventStreaming.h"
#include "run/ClaudeRun.h"
#include "run/EventLog.h"
#include "util/FileWorker.h"
#include "util/ScratchFile.h"

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
    startCoroutine(
        loop.get_executor(),
        [](auto reader, auto names) -> asio::awaitable<void> {
            for (std::string_view frame = co_await reader->next(1); !frame.empty();
                 frame = co_await reader->next(1))
                names->push_back(json::parse(frame.substr(6))); // after "data: "
        }(std::make_shared<EventFrames>(run->read(0), false), names),
        "reading events");
    auto ask = [&](std::string tool) {
        auto choice = std::make_shared<std::optional<ApprovalChoice>>();
        startCoroutine(
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

// Thousands may read a long finished run at once, each waiting on its own write: a reader
// holds the bytes of one write (at most maxEventWrite, or one larger event, sent whole) and
// afterwards no more than a log block.
TEST(ClaudeRun, AReaderHoldsOneWriteAtATime) {
    TempFolder folder;
    asio::io_context loop;
    auto log = std::make_shared<EventLog>(loop.get_executor());
    for (int i = 0; i < 100; ++i)
        log->appendDelta(std::string(1000, 'x'));
    log->appendDelta(std::string(1 << 20, 'y'));
    log->close();
    FileWorker worker(loop.get_executor()); // read from a file, as a spilled run's
    std::optional<Status> moved;
    log->moveTo(*ScratchFile::create(folder.path()), worker, [&](Status s) { moved = s; });
    ASSERT_TRUE(runUntil(loop, [&] { return moved.has_value(); }) && *moved);
    auto writes = std::make_shared<std::vector<std::pair<std::size_t, std::size_t>>>();
    startCoroutine(
        loop.get_executor(),
        [](auto reader, auto writes) -> asio::awaitable<void> {
            for (std::size_t size = 1; size > 0;) {
                std::string_view bytes = co_await reader->next(maxEventWrite);
                writes->emplace_back(size = bytes.size(), reader->heldBytes());
            }
        }(std::make_shared<EventFrames>(log->read(0), true), writes),
        "reading");
    ASSERT_TRUE(runUntil(loop, [&] { return !writes->empty() && writes->back().first == 0; }));
    for (auto [size, held] : *writes)
        EXPECT_LE(held, std::max<std::size_t>(size, 65536)) << size;
    ASSERT_EQ(writes->size(), 4u); // two writes of small events, the large one, the end
    EXPECT_GT(writes->at(2).first, 1u << 20);
}
