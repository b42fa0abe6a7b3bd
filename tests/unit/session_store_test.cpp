#include "bridge/Bridge.h"

#include "ApiCall.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sys/stat.h>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const std::string key = "session-key";
const std::string family =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
const std::string eAcute = "e\xCC\x81";

BridgeConfig config(std::optional<std::string> project = std::nullopt) {
    BridgeConfig config;
    config.key = key;
    config.project = std::move(project);
    return config;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

json storedSession(std::string id, double started, double lastActive,
                   json messages = json::array()) {
    return {{"id", id},
            {"title", "t"},
            {"cwd", "/work/proj"},
            {"started", started},
            {"lastActive", lastActive},
            {"messages", messages}};
}

class StoredSessions : public ::testing::Test {
protected:
    TempHome home;
    boost::asio::io_context loop;
    fs::path file = home.configFolder() / "bridge-sessions.json";

    void writeFile(const json& content) { writeText(file, content.dump(), 0600); }
    json fileContent() { return json::parse(readText(file)); }

    std::unique_ptr<Bridge> start(BridgeConfig settings = config()) {
        return std::make_unique<Bridge>(loop.get_executor(), std::move(settings),
                                        ClaudeInstallation{"/bin/claude", "1.0.0"});
    }
    json ask(Bridge& bridge, std::string method, std::string path, std::string body = "") {
        auto response = respond(loop, bridge, apiRequest(method, path, key, body));
        EXPECT_EQ(response.status(), 200) << method << " " << path;
        return bodyOf(response);
    }
    std::vector<std::string> listedIds(Bridge& bridge) {
        std::vector<std::string> ids;
        json list = ask(bridge, "GET", "/api/sessions");
        for (const json& item : list["data"])
            ids.push_back(item["id"]);
        return ids;
    }
    // Records `status` as the reply of session `id` once a stream that has already ended
    // is drained.
    void recordFinished(Bridge& bridge, const std::string& id, json status) {
        spawn(loop.get_executor(),
              bridge.sessions().record(
                  finishedEventStream(loop.get_executor(), {}), [status] { return status; }, id),
              "recording");
        settle(loop);
    }
};

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

std::vector<fs::path> corruptCopies(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("bridge-sessions.json.corrupt-", 0) == 0)
            found.push_back(entry.path());
    return found;
}

} // namespace

TEST_F(StoredSessions, CreateListReadAndDeleteThroughTheAPI) {
    auto bridge = start();
    json created = ask(*bridge, "POST", "/api/sessions", "");
    std::string generated = created["session"]["id"];
    EXPECT_TRUE(std::regex_match(
        generated,
        std::regex("pavix-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
        << generated;
    EXPECT_EQ(created, (json{{"session", {{"id", generated}}}}));

    EXPECT_EQ(ask(*bridge, "POST", "/api/sessions", R"({"id":"mine","title":"Fix it"})"),
              (json{{"session", {{"id", "mine"}}}}));
    // An existing id is answered, not changed.
    ask(*bridge, "POST", "/api/sessions", R"({"id":"mine","title":"Other"})");
    // Fields of the wrong type count as absent; an empty title stays empty.
    std::string wrongTypes =
        ask(*bridge, "POST", "/api/sessions", R"({"id":7,"title":["x"]})")["session"]["id"];
    std::string emptyId =
        ask(*bridge, "POST", "/api/sessions", R"({"id":"","title":""})")["session"]["id"];
    EXPECT_NE(wrongTypes, generated);
    EXPECT_EQ(emptyId.rfind("pavix-", 0), 0u);

    EXPECT_EQ(bridge->sessions().find("mine")->title, "Fix it");
    EXPECT_EQ(bridge->sessions().find(generated)->title, "task");
    EXPECT_EQ(bridge->sessions().find(wrongTypes)->title, "task");
    EXPECT_EQ(bridge->sessions().find(emptyId)->title, "");

    json summary, list = ask(*bridge, "GET", "/api/sessions");
    for (const json& item : list["data"])
        if (item["id"] == "mine") summary = item;
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["title"], "Fix it");
    EXPECT_EQ(summary["preview"], "");
    EXPECT_EQ(summary["source"], "workspace");
    EXPECT_EQ(summary["message_count"], 0);
    EXPECT_EQ(summary["started_at"], summary["last_active"]);
    EXPECT_NEAR(summary["started_at"].get<double>(), double(std::time(nullptr)), 60);
    EXPECT_EQ(summary.size(), 7u);
    EXPECT_TRUE(fs::is_directory(home.configFolder() / "workspace"));
    EXPECT_EQ(bridge->sessions().find("mine")->cwd, (home.configFolder() / "workspace").string());

    EXPECT_EQ(ask(*bridge, "GET", "/api/sessions/mine/messages"), (json{{"data", json::array()}}));
    EXPECT_EQ(ask(*bridge, "GET", "/api/sessions/nobody/messages"),
              (json{{"data", json::array()}}));
    EXPECT_EQ(ask(*bridge, "DELETE", "/api/sessions/nobody"), (json{{"ok", true}}));
    EXPECT_EQ(ask(*bridge, "DELETE", "/api/sessions/mine/"), (json{{"ok", true}}));
    EXPECT_FALSE(bridge->sessions().find("mine"));
    EXPECT_FALSE(fileContent().contains("mine"));
    EXPECT_EQ(fileContent().size(), 3u);
}

TEST_F(StoredSessions, FileRoundTripKeepsValuesAndConvertsEpochs) {
    json a = storedSession("a", 0.5, 1e9, json::array({{{"role", "user"}, {"content", "hi"}}}));
    a["claudeSessionId"] = "c-1";
    json b = storedSession("other id", -86400, 3.25);
    b["claudeSessionId"] = nullptr; // null reads as absent
    writeFile({{"a", a}, {"b", b}});

    auto bridge = start();
    json list = ask(*bridge, "GET", "/api/sessions")["data"];
    ASSERT_EQ(list.size(), 2u);
    // 2001-01-01T00:00:00Z is 978307200 s after the Unix epoch.
    EXPECT_EQ(list[0]["id"], "a");
    EXPECT_EQ(list[0]["started_at"], 978307200.5);
    EXPECT_EQ(list[0]["last_active"], 1978307200.0);
    EXPECT_EQ(list[0]["preview"], "hi");
    EXPECT_EQ(list[0]["message_count"], 1);
    EXPECT_EQ(list[0]["source"], "proj");
    EXPECT_EQ(list[1]["started_at"], 978220800.0); // 2000-12-31
    EXPECT_EQ(list[1]["last_active"], 978307203.25);

    ask(*bridge, "POST", "/api/sessions", R"({"id":"c"})"); // any change rewrites the file
    EXPECT_EQ(modeOf(file), 0600u);
    std::string text = readText(file);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    json stored = json::parse(text);
    EXPECT_EQ(stored["a"], a);
    EXPECT_FALSE(stored["b"].contains("claudeSessionId"));
    b.erase("claudeSessionId");
    EXPECT_EQ(stored["b"], b);
    double nowSince2001 = double(std::time(nullptr)) - 978307200;
    EXPECT_NEAR(stored["c"]["started"].get<double>(), nowSince2001, 60);
    EXPECT_EQ(stored["c"]["started"], stored["c"]["lastActive"]);
    EXPECT_EQ(stored["c"]["messages"], json::array());

    // A restart sees exactly what was there.
    bridge.reset();
    auto again = start();
    EXPECT_EQ(again->sessions().all().size(), 3u);
    EXPECT_EQ(again->sessions().find("a")->claudeSessionId, "c-1");
    EXPECT_EQ(again->sessions().find("a")->id, "a");
    EXPECT_EQ(again->sessions().find("b")->id, "other id"); // the key names the entry
    EXPECT_EQ(ask(*again, "GET", "/api/sessions/a/messages"),
              (json{{"data", {{{"role", "user"}, {"content", "hi"}}}}}));
    EXPECT_TRUE(corruptCopies(home.configFolder()).empty());
}

TEST_F(StoredSessions, ListIsLatestFirstAndStableForEqualTimes) {
    writeFile({{"e", storedSession("e", 0, 7)},
               {"a", storedSession("a", 0, 5)},
               {"d", storedSession("d", 0, 10)},
               {"c", storedSession("c", 0, 5)},
               {"b", storedSession("b", 0, 10)}});
    auto bridge = start();
    EXPECT_EQ(listedIds(*bridge), (std::vector<std::string>{"b", "d", "e", "a", "c"}));
}

TEST_F(StoredSessions, TitleAndPreviewCutsCountGraphemeClusters) {
    auto bridge = start();
    std::string title = repeat("a", 79) + family + "zzz";
    ask(*bridge, "POST", "/api/sessions", json{{"id", "emoji"}, {"title", title}}.dump());
    EXPECT_EQ(bridge->sessions().find("emoji")->title, repeat("a", 79) + family);
    ask(*bridge, "POST", "/api/sessions",
        json{{"id", "marks"}, {"title", repeat(eAcute, 100)}}.dump());
    EXPECT_EQ(bridge->sessions().find("marks")->title, repeat(eAcute, 80));
    ask(*bridge, "POST", "/api/sessions", json{{"id", "spaces"}, {"title", "  x  "}}.dump());
    EXPECT_EQ(bridge->sessions().find("spaces")->title, "  x  ");

    // A run's prompt titles a new session and is the preview.
    std::string prompt = repeat(eAcute, 159) + family + repeat("y", 40);
    Session started = bridge->sessions().addPrompt("run-session", prompt);
    EXPECT_EQ(started.title, repeat(eAcute, 80));
    bridge->sessions().addPrompt("run-session", "second");
    json summary = ask(*bridge, "GET", "/api/sessions")["data"][0];
    EXPECT_EQ(summary["id"], "run-session");
    EXPECT_EQ(summary["preview"], repeat(eAcute, 159) + family);
    EXPECT_EQ(summary["message_count"], 2);
}

TEST_F(StoredSessions, UndecodableFileIsKeptAsideAndLoggedOnce) {
    json broken = {{"good", storedSession("good", 1, 2)}, {"bad", storedSession("bad", 1, 2)}};
    broken["bad"].erase("lastActive");
    writeFile(broken);
    const std::string original = readText(file);

    ::testing::internal::CaptureStderr();
    auto bridge = start();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(bridge->sessions().all().empty());
    EXPECT_EQ(listedIds(*bridge), std::vector<std::string>{});

    auto copies = corruptCopies(home.configFolder());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(readText(copies[0]), original);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_NE(err.find("] sessions file couldn't be decoded; kept as " + copies[0].string() + "\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err; // and the claude code line

    // The fresh store saves beside the kept copy without touching it.
    ask(*bridge, "POST", "/api/sessions", R"({"id":"new"})");
    EXPECT_EQ(readText(copies[0]), original);
    EXPECT_EQ(fileContent().size(), 1u);
}

TEST_F(StoredSessions, EveryKindOfBadContentEmptiesTheWholeStore) {
    json wrongMessage = {
        {"ok", storedSession("ok", 1, 2)},
        {"x", storedSession("x", 1, 2, json::array({{{"role", "user"}, {"n", 1}}}))}};
    json wrongClaudeId = {{"x", storedSession("x", 1, 2)}};
    wrongClaudeId["x"]["claudeSessionId"] = 5;
    json stringTime = {{"x", storedSession("x", 1, 2)}};
    stringTime["x"]["started"] = "1";
    for (std::string content :
         {std::string("{"), std::string("[]"), std::string(""), std::string("{\"x\": 1}"),
          wrongMessage.dump(), wrongClaudeId.dump(), stringTime.dump()}) {
        SCOPED_TRACE(content);
        TempHome isolated;
        fs::path path = isolated.configFolder() / "bridge-sessions.json";
        writeText(path, content, 0600);
        ::testing::internal::CaptureStderr();
        Bridge bridge(loop.get_executor(), config(), {});
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(bridge.sessions().all().empty());
        EXPECT_FALSE(fs::exists(path));
        EXPECT_EQ(corruptCopies(isolated.configFolder()).size(), 1u);
        EXPECT_NE(err.find("sessions file couldn't be decoded"), std::string::npos);
    }
}

TEST_F(StoredSessions, MissingFileIsQuietAndSavesNeverCreateTheFolder) {
    ::testing::internal::CaptureStderr();
    auto bridge = start();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("sessions file"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(home.configFolder()));

    ask(*bridge, "DELETE", "/api/sessions/x");
    bridge->sessions().setClaudeSessionId("x", "c");
    EXPECT_FALSE(fs::exists(home.configFolder()));
    EXPECT_TRUE(bridge->sessions().all().empty());
}

TEST_F(StoredSessions, NewSessionsWorkInTheConfiguredProjectWhenItExists) {
    TempFolder project;
    auto bridge = start(config(project.path().string()));
    ask(*bridge, "POST", "/api/sessions", R"({"id":"p"})");
    EXPECT_EQ(bridge->sessions().find("p")->cwd, project.path().string());
    EXPECT_EQ(ask(*bridge, "GET", "/api/sessions")["data"][0]["source"],
              project.path().filename().string());
    EXPECT_FALSE(fs::exists(home.configFolder() / "workspace"));

    auto missing = start(config((project.path() / "gone").string()));
    EXPECT_EQ(missing->defaultProject(), (home.configFolder() / "workspace").string());
    EXPECT_TRUE(fs::is_directory(home.configFolder() / "workspace"));
}

TEST_F(StoredSessions, RunStartOperationsUpdateAndSave) {
    auto bridge = start();
    ask(*bridge, "POST", "/api/sessions", R"({"id":"s","title":"kept"})");
    double created = bridge->sessions().find("s")->lastActive;

    Session session = bridge->sessions().addPrompt("s", "do it");
    EXPECT_EQ(session.title, "kept");
    EXPECT_GE(session.lastActive, created);
    EXPECT_EQ(session.messages, (std::vector<Message>{{{"role", "user"}, {"content", "do it"}}}));
    EXPECT_FALSE(session.claudeSessionId);
    EXPECT_EQ(fileContent()["s"]["messages"].size(), 1u);

    bridge->sessions().setClaudeSessionId("s", "claude-1");
    bridge->sessions().setClaudeSessionId("s", "claude-2");
    EXPECT_EQ(fileContent()["s"]["claudeSessionId"], "claude-2");
    bridge->sessions().setClaudeSessionId("deleted", "claude-3");
    EXPECT_FALSE(bridge->sessions().find("deleted"));
}

TEST_F(StoredSessions, RecordWaitsForTheStreamToEndThenAppendsTheReply) {
    auto bridge = start();
    bridge->sessions().addPrompt("s", "question");
    double before = bridge->sessions().find("s")->lastActive;

    auto [writer, reader] = makeEventStream(loop.get_executor());
    json status = {{"status", "running"}};
    spawn(loop.get_executor(),
          bridge->sessions().record(
              std::move(reader), [&status] { return status; }, "s"),
          "recording");
    writer.push(std::make_shared<const std::string>(R"({"event":"message.delta"})"));
    settle(loop);
    EXPECT_EQ(bridge->sessions().find("s")->messages.size(), 1u);

    status = {{"status", "completed"}, {"output", "the answer"}};
    writer.finish();
    settle(loop);
    const Session* session = bridge->sessions().find("s");
    ASSERT_EQ(session->messages.size(), 2u);
    EXPECT_EQ(session->messages[1], (Message{{"role", "assistant"}, {"content", "the answer"}}));
    EXPECT_GT(session->lastActive, before);
    EXPECT_EQ(fileContent()["s"]["messages"][1]["content"], "the answer");
}

TEST_F(StoredSessions, RecordPrefersTheErrorAndIgnoresEmptyReplies) {
    auto bridge = start();
    bridge->sessions().addPrompt("s", "q");
    recordFinished(*bridge, "s", {{"error", "it broke"}, {"output", "partial"}});
    recordFinished(*bridge, "s", {{"error", 5}, {"output", "fine"}});
    std::vector<Message> expected = {{{"role", "user"}, {"content", "q"}},
                                     {{"role", "assistant"}, {"content", "it broke"}},
                                     {{"role", "assistant"}, {"content", "fine"}}};
    EXPECT_EQ(bridge->sessions().find("s")->messages, expected);

    double lastActive = bridge->sessions().find("s")->lastActive;
    fs::remove(file);
    recordFinished(*bridge, "s", {{"output", ""}});
    recordFinished(*bridge, "s", {{"status", "failed"}, {"output", nullptr}});
    recordFinished(*bridge, "s", json::array());
    EXPECT_EQ(bridge->sessions().find("s")->messages, expected);
    EXPECT_EQ(bridge->sessions().find("s")->lastActive, lastActive);
    EXPECT_FALSE(fs::exists(file)); // nothing was saved
}

TEST_F(StoredSessions, RecordKeepsTheLast200Messages) {
    json messages = json::array();
    for (int i = 0; i < 200; ++i)
        messages.push_back({{"role", "user"}, {"content", "m" + std::to_string(i)}});
    writeFile({{"s", storedSession("s", 1, 2, messages)}});
    auto bridge = start();

    bridge->sessions().addPrompt("s", "one more");
    EXPECT_EQ(bridge->sessions().find("s")->messages.size(), 201u); // prompts are not cut
    recordFinished(*bridge, "s", {{"output", "reply"}});
    const auto& kept = bridge->sessions().find("s")->messages;
    ASSERT_EQ(kept.size(), 200u);
    EXPECT_EQ(kept.front().at("content"), "m2");
    EXPECT_EQ(kept[198].at("content"), "one more");
    EXPECT_EQ(kept.back().at("content"), "reply");
    EXPECT_EQ(fileContent()["s"]["messages"].size(), 200u);
}

TEST_F(StoredSessions, RecordDoesNotReviveADeletedSession) {
    auto bridge = start();
    bridge->sessions().addPrompt("s", "q");
    auto [writer, reader] = makeEventStream(loop.get_executor());
    spawn(loop.get_executor(),
          bridge->sessions().record(
              std::move(reader),
              [] {
                  return json{{"output", "late"}};
              },
              "s"),
          "recording");
    settle(loop);
    ask(*bridge, "DELETE", "/api/sessions/s");
    writer.finish();
    settle(loop);
    EXPECT_FALSE(bridge->sessions().find("s"));
    EXPECT_EQ(fileContent(), json::object());
}
