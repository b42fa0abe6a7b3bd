// More rows of the run scenarios (played by RunScenariosTest.cpp): where a decision must
// fail closed. A request its asker gave up on is withdrawn, and a stop ends what the agent
// left running.
#include "RunScenario.h"

#include <csignal>

using namespace pavix::test;

namespace {

// The result Claude Code reports for a call it gave up waiting on (its MCP tool timeout).
const std::string gaveUp =
    R"({"type":"user","message":{"role":"user","content":[{"type":)"
    R"("tool_result","tool_use_id":"t1","content":"timed out","is_error":true}]}})"
    "\n";
// A tool that records the signal that ends it, in the agent's folder.
const json helper = {
    {"spawn",
     {"sh", "-c",
      "trap 'echo INT >> helper; exit' INT; trap 'echo TERM >> helper; exit' TERM; "
      "while :; do sleep 1; done"}}};

const Row rows[] = {
    // The agent gives up on the first question (told to by SIGTERM here) and reports the
    // call's result; asking again, without a tool_use_id, its approval tool dies. Either way
    // the phone's prompt is cleared, and an answer then finds nothing waiting.
    {"ARequestItsAskerGaveUpOnIsWithdrawn",
     {{"turns", {R"([{"init": true}, {"approve": {"tool_use_id": "t1", "on_deny": [
                    {"approve": {"tool_use_id": null, "on_deny": [{"sleep": 20}]}}]}},
                    {"exit": 1}])"_json}},
      {"on_sigint", interrupted()},
      {"on_sigterm", {{{"raw", gaveUp}}}}},
     {"approval.request", "approval.responded", "approval.request", "approval.responded",
      "run.cancelled"},
     cancelled,
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
     [](Play& play) {
         EXPECT_EQ(play.event(1)["choice"], "deny");
         EXPECT_EQ(play.event(3)["choice"], "deny");
     }},
    // The interrupt goes to the agent alone, which ends without ending its tool; once it has
    // exited, the rest of its process group is ended.
    {"AStopEndsTheToolsTheAgentLeftRunning",
     turn({{{"init", true}}, helper, {{"delta", "Busy"}}, {{"sleep", 3600}}}),
     {"message.delta", "run.cancelled"},
     cancelled,
     after("message.delta", stop),
     [](Play& play) {
         EXPECT_EQ(recorded(play, "signal", "signal", 1), Strings{"SIGINT"});
         const auto file = play.bridge.launches().back()["cwd"].get<std::string>() + "/helper";
         EXPECT_TRUE(eventually([&] { return readText(file) == "TERM\n"; })) << readText(file);
     }},
};

INSTANTIATE_TEST_SUITE_P(FailClosed, RunScenario, ::testing::ValuesIn(rows),
                         [](const auto& info) { return info.param.name; });

} // namespace
