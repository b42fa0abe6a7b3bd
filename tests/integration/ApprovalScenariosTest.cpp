// Rows of the run scenarios (played by RunScenariosTest.cpp): approvals asked, answered,
// remembered, and denied when nobody can answer them any more: a request its asker gave up
// on is withdrawn.
#include "RunScenario.h"

#include <csignal>

using namespace pavix::test;

namespace {

const std::string family =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string flag = "\U0001F1EB\U0001F1F7"; // one cluster of two code points
// 1.9 MB whose cuts fall inside runs of clusters of several code points: families, then
// flags (where two regional indicators break depends on all those before them).
const std::string hugePrompt = [] {
    std::string text = times(family, 100);
    while (text.size() < 1'900'000)
        text += flag;
    return text;
}();
const json listing = {{"command", times(flag, 400)}, {"description", "List / files"}};
// The result Claude Code reports for a call it gave up waiting on (its MCP tool timeout).
const std::string gaveUp =
    R"({"type":"user","message":{"role":"user","content":[{"type":)"
    R"("tool_result","tool_use_id":"t1","content":"timed out","is_error":true}]}})"
    "\n";

// Only the words offered, as offered: another leaves the request waiting. Then "session"
// for Bash, and the third request gets no choice at all.
void answerInTurn(Play& play, const json& event) {
    if (event["event"] != "approval.request") return;
    if (play.count++ > 0)
        return answer(play.count == 2 ? json{{"choice", "session"}} : json::object())(play);
    for (const char* word : {"Once", "allow", "", "deny "})
        EXPECT_EQ(play.post("approval", {{"choice", word}}).json(),
                  (json{{"error", "choice must be once, session or deny"}}));
    EXPECT_EQ(play.status()["status"], "waiting_for_approval");
    answer({{"choice", "once"}})(play);
}

void checkAnsweredAndCut(Play& play) {
    EXPECT_TRUE(play.event(0) ==
                (json{{"event", "tool.started"}, {"tool", "Bash"}, {"preview", times(flag, 300)}}));
    EXPECT_TRUE(play.event(1) == (json{{"event", "approval.request"},
                                       {"heading", "claude code wants to use Bash"},
                                       {"choices", {"once", "session", "deny"}},
                                       {"command", times(flag, 400)},
                                       {"description", "List / files"}}));
    EXPECT_EQ(play.event(2)["choice"], "once");
    EXPECT_EQ(play.event(3)["tool"], "Bash");
    EXPECT_EQ(play.event(3)["error"], false);
    EXPECT_GE(play.event(3)["duration"].get<double>(), 0.0);
    EXPECT_EQ(play.event(6)["choice"], "session");
    EXPECT_EQ(play.event(8), json::parse(R"({"event": "approval.request",
        "heading": "claude code wants to use write",
        "choices": ["once", "session", "deny"], "description": "/a"})"));
    EXPECT_EQ(play.event(9)["choice"], "deny");
    EXPECT_EQ(play.event(10)["error"], true);
    // The second Bash call after "session" is allowed without asking.
    EXPECT_EQ(recorded(play, "approval", "/decision/behavior", 4),
              (Strings{"allow", "allow", "allow", "deny"}));
    EXPECT_TRUE(play.session()["title"] == times(family, 80));
    EXPECT_TRUE(play.session()["preview"] == times(family, 100) + times(flag, 60));
}

const json rememberedThenDenied = R"([
    {"approve": {"tool_use_id": "t2", "tool_name": "Bash", "input": {"command": "ls"}}},
    {"approve": {"tool_use_id": "t3", "tool_name": "Bash", "input": {"command": "rm"}}},
    {"tool_use": {"id": "t4", "name": "mcp__files__write", "input": {"file_path": "/a"}}},
    {"approve": {"tool_use_id": "t4", "tool_name": "mcp__files__write",
                 "input": {"file_path": "/a"}}},
    {"result": {"result": "Done."}}])"_json;

const Row rows[] = {
    {.name = "ApprovalsAnsweredOnceForTheSessionOrNotAtAllAndTextsCutByClusters",
     .agent =
         turn({{{"init", true}},
               {{"tool_use", {{"id", "t1"}, {"name", "Bash"}, {"input", listing}}}},
               {{"approve", {{"tool_use_id", "t1"}, {"tool_name", "Bash"}, {"input", listing}}}},
               {{"text", "Listed."}},
               {{"repeat", rememberedThenDenied}, {"times", 1}}}), // spliced in
     .start = {{"input", hugePrompt}},
     .act = answerInTurn,
     .events = {"tool.started", "approval.request", "approval.responded", "tool.completed",
                "message.delta", "approval.request", "approval.responded", "tool.started",
                "approval.request", "approval.responded", "tool.completed"},
     .terminal = completed("Done."),
     .check = checkAnsweredAndCut},
    // The agent gives up on the first question (told to by SIGTERM here) and reports the
    // call's result; asking again, without a tool_use_id, its approval tool dies (as it does
    // when the agent ends). Either way the phone's prompt is cleared, and an answer then finds
    // nothing waiting.
    {.name = "ARequestItsAskerGaveUpOnIsWithdrawn",
     .agent = {{"turns", {R"([{"init": true}, {"approve": {"tool_use_id": "t1", "on_deny": [
                   {"approve": {"tool_use_id": null, "on_deny": [{"sleep": 20}]}}]}},
                   {"exit": 1}])"_json}},
               {"on_sigint", interrupted()},
               {"on_sigterm", {{{"raw", gaveUp}}}}},
     .act =
         [](Play& play, const json& event) {
             if (event["event"] == "approval.request" && play.count++ == 0)
                 ::kill(agentPid(play), SIGTERM);
             else if (event["event"] == "approval.request") // the approval tool, its one child
                 ::kill(childrenOf(agentPid(play)).at(0), SIGKILL);
             else if (event["event"] == "approval.responded" && play.count == 2) {
                 EXPECT_EQ(play.status()["status"], "running");
                 EXPECT_EQ(play.post("approval", {{"choice", "once"}}).status, 409);
                 stop(play);
             }
         },
     .events = {"approval.request", "approval.responded", "approval.request", "approval.responded"},
     .terminal = cancelled,
     .check =
         [](Play& play) {
             EXPECT_EQ(play.event(1)["choice"], "deny");
             EXPECT_EQ(play.event(3)["choice"], "deny");
         }},
};

INSTANTIATE_TEST_SUITE_P(Approvals, RunScenario, ::testing::ValuesIn(rows), rowName);

} // namespace
