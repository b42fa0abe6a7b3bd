// Several runs at once ("max_runs") and conversations in folders of their own, through the
// real service and the fake agent.
#include "RunScenario.h"

#include <deque>
#include <fstream>
#include <thread>

using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

const std::string busy =
    "Claude Code is still working on another task. Stop it or wait for it to finish.";
const std::string inConversation =
    "Claude Code is still working in this conversation. Stop it or wait for it to finish.";
const std::string badFolder = "folder must be the absolute path of an existing folder";

json start(const std::string& session, const std::optional<json>& folder = std::nullopt) {
    json body = {{"input", "Go"}, {"session_id", session}};
    if (folder) body["folder"] = *folder;
    return body;
}
/// The error of a refused request.
std::string refusal(const Response& response, int status = 409) {
    EXPECT_EQ(response.status, status) << response.raw;
    return response.json().value("error", "");
}
/// A run's whole stream but its text: event names, and the choice of each answer.
Strings outcome(const BridgeServer& bridge, const std::string& run) {
    Strings seen;
    for (const auto& text :
         Events(bridge.port(), "/v1/runs/" + run + "/events", bridge.key()).rest()) {
        json event = json::parse(text);
        if (event["event"] != "message.delta")
            seen.push_back(event.value("choice", event["event"].get<std::string>()));
    }
    return seen;
}

// n + 1 starts at once for new conversations: n are taken, the other is refused; the
// service's SIGTERM then ends every run with its terminal event.
void startsTogetherNeverPassTheLimitAndSIGTERMEndsAll(BridgeServer& bridge, int n) {
    auto client = bridge.client();
    std::vector<Response> answers(n + 1);
    std::vector<std::thread> phones;
    for (int i = 0; i <= n; ++i)
        phones.emplace_back(
            [&, i] { answers[i] = client.post("/v1/runs", start("d" + std::to_string(i))); });
    for (auto& phone : phones)
        phone.join();
    std::deque<Events> streams;
    for (const Response& answer : answers)
        if (answer.status == 202)
            streams.emplace_back(bridge.port(),
                                 "/v1/runs/" + answer.json().value("run_id", "") + "/events",
                                 bridge.key());
        else
            EXPECT_EQ(refusal(answer), busy);
    EXPECT_EQ(streams.size(), std::size_t(n));
    EXPECT_EQ(client.get("/v1/runs").json()["runs"].size(), std::size_t(2 * n));
    EXPECT_EQ(bridge.stop(), 0);
    for (auto& stream : streams) {
        auto rest = stream.rest();
        EXPECT_TRUE(!rest.empty() && json::parse(rest.back())["event"] == "run.cancelled");
    }
}

class Runs : public testing::TestWithParam<int> {};

// All waiting on approvals at once and answered in turn, each run hears only its own
// answers and keeps its own "session" choice (the first run's comes before the others'
// second requests), and a stop ends its run alone. Starts within a conversation or past
// the limit are refused, starts arriving together never pass it, and SIGTERM ends all.
TEST_P(Runs, WorkApartWithinTheLimit) {
    const int n = GetParam();
    BridgeServer::Options options;
    options.maxRuns = n;
    BridgeServer bridge(options);
    const json approve = {{"approve", {{"tool_name", "Bash"}, {"on_deny", {{{"sleep", 600}}}}}}};
    bridge.setScenario(
        {{"turn", {{{"init", true}}, approve, approve, {{"result", {{"result", "Done."}}}}}},
         {"on_sigint", interrupted()}});
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    Strings runs;
    json listed = json::array();
    for (int i = 0; i < n; ++i) {
        runs.push_back(startRun(client, start("c" + std::to_string(i))));
        listed.insert(listed.begin(), json{{"run_id", runs[i]},
                                           {"session_id", "c" + std::to_string(i)},
                                           {"status", "waiting_for_approval"}});
    }
    auto waiting = [&](int i) {
        return eventually([&] {
            return client.get("/v1/runs/" + runs[i]).json()["status"] == "waiting_for_approval";
        });
    };
    auto post = [&](int i, const std::string& what, const json& body) {
        EXPECT_EQ(client.post("/v1/runs/" + runs[i] + "/" + what, body).json(), ok);
    };
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(waiting(i));
    EXPECT_EQ(client.get("/v1/runs").json(), (json{{"runs", listed}}));
    EXPECT_EQ(refusal(client.post("/v1/runs", start("c0"))), inConversation);
    EXPECT_EQ(refusal(client.post("/v1/runs", start("other"))), busy);
    EXPECT_EQ(client.get("/api/sessions").json()["data"].size(), std::size_t(n));
    for (int i = 0; i < n; ++i)
        post(i, "approval", {{"choice", i == 0 ? "session" : "once"}});
    for (int i = 1; i < n; ++i) {
        ASSERT_TRUE(waiting(i));
        i < n - 1 ? post(i, "approval", {{"choice", "once"}}) : post(i, "stop", {});
    }
    EXPECT_EQ(outcome(bridge, runs[0]), (Strings{"approval.request", "session", "run.completed"}));
    for (int i = 1; i < n; ++i)
        EXPECT_EQ(
            outcome(bridge, runs[i]),
            (Strings{"approval.request", "once", "approval.request", i < n - 1 ? "once" : "deny",
                     i < n - 1 ? "run.completed" : "run.cancelled"}));
    startsTogetherNeverPassTheLimitAndSIGTERMEndsAll(bridge, n);
}

INSTANTIATE_TEST_SUITE_P(ParallelRuns, Runs, testing::Values(2, 3));

// Absent, null or unusable: one run at a time, the busy answer within a conversation or
// not, and no run list; a present value that is not usable is logged.
TEST(ParallelRuns, MaxRunsIsOneUnlessUsable) {
    for (const std::optional<json>& value :
         std::vector<std::optional<json>>{0, -1, "2", 1.5, 17, json(nullptr), std::nullopt, 16}) {
        const bool usable = value == json(16);
        BridgeServer::Options options;
        options.maxRuns = value;
        BridgeServer bridge(options);
        bridge.setScenario({{"turn", {{{"sleep", 600}}}}, {"on_sigint", interrupted()}});
        ASSERT_TRUE(bridge.start());
        auto client = bridge.client();
        startRun(client, start("a"));
        EXPECT_EQ(refusal(client.post("/v1/runs", start("b")), usable ? 202 : 409),
                  usable ? "" : busy);
        EXPECT_EQ(refusal(client.post("/v1/runs", start("a"))), usable ? inConversation : busy);
        // A refused start makes no conversation.
        EXPECT_EQ(client.get("/api/sessions").json()["data"].size(), usable ? 2u : 1u);
        EXPECT_EQ(client.get("/v1/runs").status, usable ? 200 : 404);
        const std::string line = "] max_runs " + (value ? value->dump() : "") + " is not a";
        EXPECT_EQ(bridge.log().find(line) != std::string::npos,
                  !usable && value && !value->is_null())
            << bridge.log();
    }
}

// A folder is checked, a link to one resolved once, at creation; it stays the conversation's.
TEST(ParallelRuns, AConversationWorksInTheFolderItWasCreatedIn) {
    BridgeServer bridge;
    bridge.setScenario(replying("Done."));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    TempFolder projects;
    const fs::path app = fs::canonical(projects.path()) / "app", link = projects.path() / "link";
    fs::create_directory(app);
    fs::create_directory_symlink(app, link);
    writeText(projects.path() / "notes.txt", "not a folder");
    for (const json& folder : {json(42), json(nullptr), json("app"), json(""),
                               json((projects.path() / "missing").string()),
                               json((projects.path() / "notes.txt").string())}) {
        EXPECT_EQ(refusal(client.post("/api/sessions", {{"id", "a"}, {"folder", folder}}), 400),
                  badFolder);
        EXPECT_EQ(refusal(client.post("/v1/runs", start("a", folder)), 400), badFolder);
    }
    EXPECT_EQ(client.get("/api/sessions").json()["data"], json::array());
    auto run = [&](const json& body) {
        Strings seen = outcome(bridge, startRun(client, body));
        return seen.empty() ? "" : seen.back();
    };
    EXPECT_EQ(client.post("/api/sessions", {{"id", "a"}, {"folder", link.string()}}).status, 200);
    EXPECT_EQ(run(start("a")), "run.completed");
    EXPECT_EQ(run(start("b", link.string() + "/")), "run.completed");
    EXPECT_EQ(run(start("a", app.string())), "run.completed"); // the same folder
    const std::string fixed = "a conversation's folder is fixed when it is created";
    EXPECT_EQ(refusal(client.post("/v1/runs", start("a", projects.path().string())), 400), fixed);
    EXPECT_EQ(refusal(client.post("/api/sessions", {{"id", "b"}, {"folder", "/"}}), 400), fixed);
    EXPECT_EQ(client.get("/api/sessions/a/messages").json()["data"].size(), 4u);
    ASSERT_EQ(bridge.launches().size(), 3u);
    for (const json& launch : bridge.launches())
        EXPECT_EQ(launch["cwd"], app.string());
    const json sessions = client.get("/api/sessions").json()["data"];
    for (const json& session : sessions)
        EXPECT_EQ(session["source"], "app");
    const json stored =
        json::parse(std::ifstream(bridge.home().configFolder() / "bridge-sessions.json"));
    for (const char* id : {"a", "b"})
        EXPECT_EQ(stored[id]["cwd"], app.string());
}

} // namespace
