#include "run/ClaudeRun.h"

#include "Loop.h"
#include "RunProbe.h"
#include "ScopedEnv.h"
#include "Scripts.h"
#include "TempHome.h"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A shell line that prints `message` as one line of Claude Code output.
std::string say(const json& message) {
    return "printf '%s\\n' '" + message.dump() + "'\n";
}

json init(const std::string& session) {
    return {{"type", "system"}, {"subtype", "init"}, {"session_id", session}};
}
json result(const std::string& text, bool isError = false) {
    return {{"type", "result"},
            {"subtype", isError ? "error_during_execution" : "success"},
            {"is_error", isError},
            {"result", text}};
}

Strings lines(const std::string& text) {
    Strings result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

class ClaudeRunProcess : public ::testing::Test {
protected:
    ClaudeRun::Options options(const std::string& body) {
        ClaudeRun::Options o;
        o.prompt = "hello there";
        o.cwd = work.path();
        o.binary = writeScript(scripts.path(), "claude" + std::to_string(++count), body);
        o.mcpCommand = "/opt/pavix/pavix-bridge";
        o.onSession = [this](std::string id) { sessions.push_back(id); };
        o.stopTerminateAfter = 200ms;
        o.stopKillAfter = 200ms;
        return o;
    }
    std::shared_ptr<ClaudeRun> start(ClaudeRun::Options o) {
        auto run = ClaudeRun::start(loop.get_executor(), std::move(o));
        EXPECT_TRUE(run.ok()) << run.error().description;
        return run ? *run : nullptr;
    }
    std::shared_ptr<ClaudeRun> start(const std::string& body) { return start(options(body)); }
    bool waitForEnd(const std::shared_ptr<ClaudeRun>& run) {
        return runUntil(loop, [&] { return run->finished(); });
    }
    bool waitForFile(const fs::path& path) {
        return runUntil(loop, [&] { return fs::exists(path); });
    }
    fs::path record(const std::string& name) { return records.path() / name; }
    std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

    boost::asio::io_context loop;
    TempHome home;
    TempFolder work, scripts, records;
    Strings sessions;
    int count = 0;
};

} // namespace

TEST_F(ClaudeRunProcess, LaunchesWithTheFixedCommandLineEnvironmentFolderAndPrompt) {
    auto o = options("printf '%s\\n' \"$@\" > " + quoted(record("args")) + "\n" + "env > " +
                     quoted(record("env")) + "\n" + "pwd > " + quoted(record("pwd")) + "\n" +
                     "IFS= read -r line; printf '%s\\n' \"$line\" > " + quoted(record("stdin")) +
                     "\n" + say(init("s-1")) + say(result("done / ok")) + "cat > /dev/null\n" +
                     "echo closed > " + quoted(record("closed")) + "\n");
    o.config.port = 9123;
    o.instructions = "be brief";
    o.resume = "";
    ScopedEnv ssePort("CLAUDE_CODE_SSE_PORT", "1");
    ScopedEnv baseURL("ANTHROPIC_BASE_URL", "http://example.invalid");
    auto run = start(o);
    ASSERT_TRUE(run);
    ASSERT_TRUE(waitForEnd(run));
    ASSERT_TRUE(waitForFile(record("closed"))) << "standard input closes after the result";

    auto mcp = ClaudeRun::mcpConfiguration("/opt/pavix/pavix-bridge", 9123, run->id());
    auto expected = ClaudeRun::arguments(*mcp, true, std::string("be brief"), std::string());
    EXPECT_EQ(lines(readText(record("args"))), expected);
    auto env = readText(record("env"));
    EXPECT_EQ(env.find("\nCLAUDE"), std::string::npos);
    EXPECT_EQ(env.find("\nANTHROPIC_"), std::string::npos);
    EXPECT_NE(env.find("PATH=/opt/homebrew/bin:/usr/local/bin:" + home.path().string()),
              std::string::npos);
    EXPECT_EQ(readText(record("pwd")), fs::canonical(work.path()).string() + "\n");
    EXPECT_EQ(
        json::parse(readText(record("stdin"))),
        (json{{"type", "user"},
              {"message",
               {{"role", "user"}, {"content", {{{"type", "text"}, {"text", "hello there"}}}}}}}));
    EXPECT_EQ(sessions, Strings{"s-1"});
    EXPECT_EQ(run->statusJSON(), (json{{"status", "completed"},
                                       {"output", "done / ok"},
                                       {"session_id", "s-1"},
                                       {"last_event", "run.completed"}}));
}

TEST_F(ClaudeRunProcess, EveryWayOfEndingPublishesOneTerminalEvent) {
    struct Case {
        std::string name, body;
        json terminal;
    };
    // Crashes at every stage, through the service: agent_faults_test.
    std::vector<Case> cases{
        {"error result then crash",
         say(result("it broke", true)) + "exit 1",
         {{"event", "run.failed"}, {"error", "it broke"}}},
        {"output cut short",
         "printf '{\"type\":\"result\"'; exit 0",
         {{"event", "run.failed"}, {"error", "Claude Code exited (0)."}}},
    };
    for (const auto& c : cases) {
        auto run = start(c.body);
        ASSERT_TRUE(run);
        auto received = collect(loop.get_executor(), run->subscribe());
        ASSERT_TRUE(runUntil(loop, [&] { return received->ended; })) << c.name;
        runUntil(
            loop, [] { return false; }, 50ms); // anything late would show now
        ASSERT_EQ(received->texts.size(), 1u) << c.name;
        EXPECT_EQ(json::parse(received->texts[0]), c.terminal) << c.name;
        EXPECT_EQ(ClaudeRunProbe::log(*run), received->texts) << c.name;
    }
}

// Ignored interrupts and the escalation after them, through the service: agent_faults_test.
TEST_F(ClaudeRunProcess, AResultArrivingAfterAStopCompletesTheRun) {
    auto run = start("on_int() {\n" + say(result("made it")) + "exit 0\n}\ntrap on_int INT\n" +
                     say(init("s-2")) + "while :; do sleep 0.05; done\n");
    ASSERT_TRUE(run);
    ASSERT_TRUE(runUntil(loop, [&] { return !sessions.empty(); }));
    auto received = collect(loop.get_executor(), run->subscribe());
    run->stop();
    run->stop();
    ASSERT_TRUE(waitForEnd(run));
    ASSERT_TRUE(runUntil(loop, [&] { return received->ended; }));
    EXPECT_EQ(received->names(), Strings{"run.completed"});
    run->stop();
    runUntil(
        loop, [] { return false; }, 50ms);
    EXPECT_EQ(run->statusJSON()["status"], "completed") << "a stop after the end changes nothing";
}

TEST_F(ClaudeRunProcess, ADroppedRunGoesQuietAndClosesClaudeCodesInput) {
    auto run = start("cat > /dev/null\necho eof > " + quoted(record("eof")) + "\n" +
                     say(result("nobody hears this")));
    ASSERT_TRUE(run);
    auto received = collect(loop.get_executor(), run->subscribe());
    runUntil(
        loop, [] { return false; }, 50ms);
    run.reset();
    ASSERT_TRUE(waitForFile(record("eof")));
    ASSERT_TRUE(runUntil(loop, [&] { return received->ended; }));
    runUntil(
        loop, [] { return false; }, 100ms);
    EXPECT_TRUE(received->texts.empty());
}
