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

namespace {

std::string line(const json& message) {
    return message.dump() + "\n";
}

json delta(const std::string& text) {
    return {
        {"type", "stream_event"},
        {"event",
         {{"type", "content_block_delta"}, {"delta", {{"type", "text_delta"}, {"text", text}}}}}};
}

json assistant(json blocks) {
    return {{"type", "assistant"}, {"message", {{"role", "assistant"}, {"content", blocks}}}};
}

json toolUse(const std::string& id, std::optional<std::string> name, json input) {
    json block = {{"type", "tool_use"}, {"id", id}, {"input", input}};
    if (name) block["name"] = *name;
    return block;
}

json toolResult(const std::string& id, std::optional<bool> isError = std::nullopt) {
    json block = {{"type", "tool_result"}, {"tool_use_id", id}, {"content", "ok"}};
    if (isError) block["is_error"] = *isError;
    return {{"type", "user"}, {"message", {{"role", "user"}, {"content", {block}}}}};
}

json result(std::string text, bool isError = false, std::string subtype = "success") {
    return {{"type", "result"}, {"subtype", subtype}, {"is_error", isError}, {"result", text}};
}

class RunTranslation : public ::testing::Test {
protected:
    void SetUp() override {
        ClaudeRun::Options options;
        options.prompt = "hello";
        options.onSession = [this](std::string id) { sessions.push_back(id); };
        run = ClaudeRunProbe::make(loop.get_executor(), std::move(options));
        live = collect(loop.get_executor(), run->subscribe());
    }
    void feed(const json& message) { ClaudeRunProbe::output(*run, line(message)); }
    std::vector<json> events() {
        std::vector<json> parsed;
        for (const auto& text : ClaudeRunProbe::log(*run))
            parsed.push_back(json::parse(text));
        return parsed;
    }
    Strings names() { return eventNames(ClaudeRunProbe::log(*run)); }
    void settle() {
        runUntil(
            loop, [] { return false; }, std::chrono::milliseconds(30));
    }

    boost::asio::io_context loop;
    Strings sessions;
    std::shared_ptr<ClaudeRun> run;
    std::shared_ptr<Received> live;
};

} // namespace

TEST_F(RunTranslation, LinesAreCutAtNewlinesWhateverTheChunks) {
    std::string two = line(delta("a")) + line(delta("b"));
    std::string split = line(delta("c"));
    ClaudeRunProbe::output(*run, two);
    ClaudeRunProbe::output(*run, split.substr(0, 10));
    EXPECT_EQ(names().size(), 2u) << "half a line is not handled";
    ClaudeRunProbe::output(*run, split.substr(10) + "[1,2]\nnot json\n\n{\"no\":\"type\"}\n");
    ClaudeRunProbe::output(*run, "{\"type\":7}\n{\"type\":\"unknown\"}\n" + line(delta("d\r")));
    auto all = events();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]["delta"], "a");
    EXPECT_EQ(all[1]["delta"], "b");
    EXPECT_EQ(all[2]["delta"], "c");
    EXPECT_EQ(all[3]["delta"], "d\r");
    EXPECT_EQ(run->statusJSON()["output"], "abcd\r");
}

TEST_F(RunTranslation, AnEndlessLineIsDroppedRatherThanHeld) {
    const std::string mebibyte(1 << 20, 'x');
    std::size_t most = 0;
    for (int i = 0; i < 80; ++i) {
        ClaudeRunProbe::output(*run, mebibyte);
        most = std::max(most, ClaudeRunProbe::lineMemory(*run));
    }
    EXPECT_LE(most, std::size_t{64} << 20);
    ClaudeRunProbe::output(*run, "\"}}}\n" + line(delta("after")));
    ASSERT_EQ(names(), Strings{"message.delta"}) << "the end of the dropped line is dropped too";
    EXPECT_EQ(events()[0]["delta"], "after");
}

TEST_F(RunTranslation, StreamedTextIsNotRepeatedByTheWholeAssistantMessage) {
    feed(delta("Hel"));
    feed(delta("lo"));
    feed(assistant({{{"type", "text"}, {"text", "Hello"}}}));
    feed(assistant({{{"type", "text"}, {"text", " again"}}, {{"type", "text"}, {"text", ""}}}));
    feed(assistant(json::array()));
    feed(json{{"type", "assistant"}, {"message", "not an object"}});
    feed(assistant({{{"type", "text"}, {"text", "!"}}, 5})); // not all objects: no blocks
    Strings deltas;
    for (const auto& event : events())
        deltas.push_back(event.value("delta", "?"));
    EXPECT_EQ(deltas, (Strings{"Hel", "lo", " again"}));
    EXPECT_EQ(run->statusJSON()["output"], "Hello again");
}

TEST_F(RunTranslation, ToolCallsStartAndCompleteInPairs) {
    std::string longCommand(1000, 'x');
    feed(assistant(
        {toolUse("t1", std::nullopt, json::object()),
         toolUse("t2", "mcp__pavix__approve", {{"file_path", "/p/q"}, {"command", longCommand}}),
         toolUse("t3", "Read", {{"file_path", "/etc/hosts"}})}));
    feed(toolResult("unknown"));
    feed(toolResult("t2", true));
    feed(toolResult("t3"));
    feed(toolResult("t3")); // completed once only
    auto all = events();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0], (json{{"event", "tool.started"}, {"tool", "tool"}}));
    EXPECT_EQ(all[1]["tool"], "approve");
    EXPECT_EQ(all[1]["preview"], std::string(300, 'x'));
    EXPECT_EQ(all[2]["preview"], "/etc/hosts");
    EXPECT_EQ(all[3]["event"], "tool.completed");
    EXPECT_EQ(all[3]["tool"], "approve");
    EXPECT_EQ(all[3]["error"], true);
    EXPECT_GE(all[3]["duration"].get<double>(), 0.0);
    EXPECT_EQ(all[4]["tool"], "Read");
    EXPECT_EQ(all[4]["error"], false);
}

TEST_F(RunTranslation, StatusGrowsKeysOnlyOnceTheyAreSet) {
    EXPECT_EQ(run->statusJSON(), (json{{"status", "running"}, {"output", ""}}));
    feed({{"type", "system"}, {"subtype", "other"}, {"session_id", "ignored"}});
    feed({{"type", "system"}, {"subtype", "init"}, {"session_id", "s-1"}});
    EXPECT_EQ(sessions, Strings{"s-1"});
    EXPECT_EQ(run->statusJSON(),
              (json{{"status", "running"}, {"output", ""}, {"session_id", "s-1"}}));
    feed(delta("x"));
    EXPECT_EQ(run->statusJSON()["last_event"], "message.delta");
    feed(result("done"));
    EXPECT_EQ(run->statusJSON(), (json{{"status", "completed"},
                                       {"output", "done"},
                                       {"session_id", "s-1"},
                                       {"last_event", "run.completed"}}));
    EXPECT_EQ(events().back(),
              (json{{"event", "run.completed"}, {"output", "done"}, {"session_id", "s-1"}}));
}

TEST_F(RunTranslation, TheRunFinishesOnlyWithTheLastTurnsResult) {
    run->sendUserMessage("and then?");
    feed({{"type", "result"}, {"subtype", "success"}, {"result", "first"}, {"session_id", "s-9"}});
    EXPECT_FALSE(run->finished());
    EXPECT_TRUE(sessions.empty()) << "a result's session id is stored, not announced";
    feed(delta("streamed"));
    feed(result(""));
    EXPECT_TRUE(run->finished());
    EXPECT_EQ(run->statusJSON()["output"], "streamed") << "an empty result keeps the streamed text";
    EXPECT_EQ(events().back()["session_id"], "s-9");
}

TEST_F(RunTranslation, ErrorResultsFailTheRun) {
    struct Case {
        json message;
        std::string error;
    };
    for (const auto& c : {Case{result("", true), "Claude Code stopped with an error."},
                          Case{result("quota", false, "error_during_execution"), "quota"}}) {
        auto failing = ClaudeRunProbe::make(loop.get_executor());
        ClaudeRunProbe::output(*failing, line(c.message));
        EXPECT_EQ(failing->statusJSON()["status"], "failed");
        EXPECT_EQ(failing->statusJSON()["error"], c.error);
        EXPECT_EQ(json::parse(ClaudeRunProbe::log(*failing).back()),
                  (json{{"event", "run.failed"}, {"error", c.error}}));
    }
    // A result whose subtype is not a string counts as "success".
    feed({{"type", "result"}, {"subtype", 3}, {"result", "fine"}});
    EXPECT_EQ(run->statusJSON()["status"], "completed");
}

TEST_F(RunTranslation, AnExitWithoutResultFailsWithTheEndOfStandardError) {
    ClaudeRunProbe::ended(*run, 1);
    EXPECT_EQ(run->statusJSON()["error"], "Claude Code exited (1).");

    auto noisy = ClaudeRunProbe::make(loop.get_executor());
    auto repeat = [](const std::string& unit, int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += unit;
        return text;
    };
    ClaudeRunProbe::errors(*noisy, repeat("é", 4000));
    ClaudeRunProbe::errors(*noisy, repeat("x", 300) + "\n");
    ClaudeRunProbe::errors(*noisy, "\xC3"); // half a character: dropped
    ClaudeRunProbe::errors(*noisy, "  \t");
    ClaudeRunProbe::ended(*noisy, 1);
    EXPECT_EQ(noisy->statusJSON()["error"], repeat("é", 100) + repeat("x", 300));
}

TEST_F(RunTranslation, ExactlyOneTerminalEventWhateverComesFirst) {
    feed(result("done"));
    ClaudeRunProbe::ended(*run, 0);
    feed(result("again"));
    feed(delta("late"));
    EXPECT_EQ(names(), (Strings{"run.completed", "message.delta"}))
        << "lines after the end are still logged";
    settle();
    EXPECT_TRUE(live->ended);
    EXPECT_EQ(live->names(), Strings{"run.completed"});

    auto crashed = ClaudeRunProbe::make(loop.get_executor());
    ClaudeRunProbe::ended(*crashed, 2);
    ClaudeRunProbe::output(*crashed, line(result("too late")));
    EXPECT_EQ(eventNames(ClaudeRunProbe::log(*crashed)), Strings{"run.failed"});
    EXPECT_EQ(crashed->statusJSON()["status"], "failed");
}

TEST_F(RunTranslation, DeeplyNestedLinesAreReadWithoutRecursing) {
    // Deep enough that copying or printing such a value would exhaust the stack.
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    ClaudeRunProbe::output(
        *run, R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"t1",)"
              R"("name":"Bash","input":{"command":"ls","extra":)" +
                  nested(200000) + "}}]}}\n");
    ClaudeRunProbe::output(*run, std::string(200000, '[') + "\n");
    ClaudeRunProbe::output(
        *run, R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t1",)"
              R"("content":)" +
                  nested(200000) + "}]}}\n");
    feed(result("done"));
    EXPECT_EQ(names(), (Strings{"tool.started", "tool.completed", "run.completed"}));
    EXPECT_EQ(events().at(0)["preview"], "ls");
}

TEST_F(RunTranslation, EventTextsAreOneCompactLineWithSlashesUnescaped) {
    feed(delta("line one\nline two / path\u2028"));
    auto text = ClaudeRunProbe::log(*run).at(0);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_NE(text.find("two / path"), std::string::npos);
    EXPECT_EQ(json::parse(text)["delta"], "line one\nline two / path\u2028");
    // Text that is not UTF-8 (it cannot come from parsed output) still gets through.
    run->emit({{"event", "message.delta"}, {"delta", "bad \xFF byte"}});
    EXPECT_EQ(json::parse(ClaudeRunProbe::log(*run).back())["delta"], "bad \uFFFD byte");
}
