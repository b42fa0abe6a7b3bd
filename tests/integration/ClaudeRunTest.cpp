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

#include <thread>

using namespace pavix;
using namespace pavix::test;

namespace {

using Clock = std::chrono::steady_clock;

// A run of the fake agent with a 2 s approval timeout, which has written a tool's start
// (then recorded as done) before any request, unread yet.
std::shared_ptr<ClaudeRun> startAsking(asio::io_context& loop, const TempHome& home) {
    writeText(home.path() / "scenario.json",
              R"({"start": [{"tool_use": {"name": "Bash"}}, {"spawn": ["true"]}],
                  "turn": [{"sleep": 3600}], "record": ")" +
                  (home.path() / "record").string() + "\"}");
    ::setenv("FAKE_AGENT_SCENARIO", (home.path() / "scenario.json").c_str(), 1);
    ClaudeRun::Options options;
    options.prompt = "hi";
    options.command.folder = home.path();
    options.command.binary = FAKE_CLAUDE_PATH;
    options.command.approvalServer = PAVIX_BRIDGE_PATH;
    options.approvalTimeout = 2s;
    auto run = ClaudeRun::start(loop.get_executor(), options).value();
    ::unsetenv("FAKE_AGENT_SCENARIO");
    EXPECT_TRUE(eventually(
        [&] { return readText(home.path() / "record").find("spawn") != std::string::npos; }));
    return run;
}

// A request for approval: its answer, when it was asked and when answered.
struct Asked {
    std::optional<ApprovalChoice> choice;
    Clock::time_point at, answeredAt;
};

// What the phone is told, as it is told: each event's choice, heading or name, then "end".
std::shared_ptr<std::string> following(asio::io_context& loop, std::shared_ptr<ClaudeRun> run) {
    auto told = std::make_shared<std::string>();
    startCoroutine(
        loop.get_executor(),
        [](auto reader, auto told) -> asio::awaitable<void> {
            for (std::string_view frame = co_await reader->next(1); !frame.empty();
                 frame = co_await reader->next(1)) {
                json event = json::parse(frame.substr(6)); // after "data: "
                *told += event.value("choice",
                                     event.value("heading", event["event"].get<std::string>()));
                *told += "; ";
            }
            *told += "end";
        }(std::make_shared<EventFrames>(run->read(0), false), told),
        "reading events");
    return told;
}

} // namespace

TEST(ClaudeRun, EachApprovalTimesOutOnItsOwnClockAndANewerOneDeniesTheOlder) {
    TempHome home;
    asio::io_context loop;
    auto run = startAsking(loop, home);
    auto told = following(loop, run);
    auto ask = [&](std::string tool) {
        auto asked = std::make_shared<Asked>();
        startCoroutine(
            loop.get_executor(),
            [](auto run, std::string tool, auto asked) -> asio::awaitable<void> {
                asked->at = Clock::now();
                asked->choice = co_await run->requestApproval(tool, json::object());
                asked->answeredAt = Clock::now();
            }(run, tool, asked),
            "asking");
        EXPECT_TRUE(runUntil(loop, [&] { return told->ends_with("use " + tool + "; "); }));
        return asked;
    };

    auto first = ask("Bash");
    // With the loop standing still no timer fires, however loaded the machine: the first
    // request is answered in time, and the second asked a second into the first's time.
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(run->resolveApproval(ApprovalChoice::once));
    auto second = ask("Write");
    EXPECT_EQ(first->choice, ApprovalChoice::once);
    EXPECT_TRUE(runUntil(loop, [&] { return second->choice.has_value(); }));
    EXPECT_EQ(second->choice, ApprovalChoice::deny);
    // The first request's timer would have answered it about a second after it was asked.
    EXPECT_GE(second->answeredAt - second->at, 2s) << "answered by the first request's timer";
    auto third = ask("Edit");
    auto fourth = ask("Read");
    EXPECT_TRUE(runUntil(loop, [&] { return third->choice.has_value(); }));
    EXPECT_EQ(third->choice, ApprovalChoice::deny) << "a newer request denies the older, silently";
    ASSERT_TRUE(run->resolveApproval(ApprovalChoice::once));
    run->stop();
    ASSERT_TRUE(runUntil(loop, [&] { return told->ends_with("end") && !run->processRunning(); }));
    EXPECT_EQ(fourth->choice, ApprovalChoice::once);
    EXPECT_EQ(*told, "tool.started; claude code wants to use Bash; once; "
                     "claude code wants to use Write; deny; "
                     "claude code wants to use Edit; claude code wants to use Read; once; "
                     "run.cancelled; end");
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
