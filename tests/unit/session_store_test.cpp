#include "bridge/Bridge.h"

#include "ApiCall.h"
#include "TempHome.h"

#include <gtest/gtest.h>

#include <ctime>
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

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

json stored(std::string id, double started, double lastActive, json messages = json::array()) {
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

    std::unique_ptr<Bridge> start(std::optional<std::string> project = std::nullopt) {
        BridgeConfig config;
        config.key = key;
        config.project = std::move(project);
        return std::make_unique<Bridge>(loop.get_executor(), config,
                                        ClaudeInstallation{"/bin/claude", "1.0.0"});
    }
    json ask(Bridge& bridge, std::string method, std::string path, std::string body = "") {
        auto response = respond(loop, bridge, apiRequest(method, path, key, body));
        EXPECT_EQ(response.status(), 200) << method << " " << path;
        return bodyOf(response);
    }
    json list(Bridge& bridge) { return ask(bridge, "GET", "/api/sessions")["data"]; }
    // Records `status` for session `id` from a run whose event stream has already ended.
    void record(Bridge& bridge, const std::string& id, json status) {
        spawn(loop.get_executor(),
              bridge.sessions().record(
                  finishedEventStream(loop.get_executor(), {}), [status] { return status; }, id),
              "recording");
        settle(loop);
    }
    std::vector<fs::path> corruptCopies() {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(home.configFolder()))
            if (entry.path().filename().string().rfind("bridge-sessions.json.corrupt-", 0) == 0)
                found.push_back(entry.path());
        return found;
    }
};

} // namespace

TEST_F(StoredSessions, CreateReadAndDeleteThroughTheAPI) {
    auto bridge = start();
    std::string generated = ask(*bridge, "POST", "/api/sessions")["session"]["id"];
    EXPECT_EQ(ask(*bridge, "POST", "/api/sessions", R"({"id":"mine","title":"Fix"})"),
              (json{{"session", {{"id", "mine"}}}}));
    ask(*bridge, "POST", "/api/sessions", R"({"id":"mine","title":"Other"})"); // unchanged
    std::string wrongTypes =
        ask(*bridge, "POST", "/api/sessions", R"({"id":7,"title":["x"]})")["session"]["id"];
    EXPECT_EQ(bridge->sessions().find("mine")->title, "Fix");
    EXPECT_EQ(bridge->sessions().find(generated)->title, "task");
    EXPECT_EQ(bridge->sessions().find(wrongTypes)->title, "task");

    json summary = list(*bridge)[0];
    EXPECT_EQ(summary["started_at"], summary["last_active"]);
    EXPECT_NEAR(summary["started_at"].get<double>(), double(std::time(nullptr)), 60);
    EXPECT_EQ(summary["preview"], "");
    EXPECT_EQ(summary["source"], "workspace");
    EXPECT_EQ(summary["message_count"], 0);
    EXPECT_TRUE(fs::is_directory(home.configFolder() / "workspace"));

    EXPECT_EQ(ask(*bridge, "GET", "/api/sessions/nobody/messages")["data"], json::array());
    EXPECT_EQ(ask(*bridge, "DELETE", "/api/sessions/nobody"), (json{{"ok", true}}));
    EXPECT_EQ(ask(*bridge, "DELETE", "/api/sessions/mine/"), (json{{"ok", true}}));
    EXPECT_FALSE(bridge->sessions().find("mine"));
    EXPECT_EQ(fileContent().size(), 2u);
}

TEST_F(StoredSessions, FileSurvivesARestartWithBothEpochs) {
    json a = stored("a", 0.5, 1e9, json::array({{{"role", "user"}, {"content", "hi"}}}));
    a["claudeSessionId"] = "c-1";
    json b = stored("b", -86400, 3.25);
    writeFile({{"a", a}, {"b", b}});

    auto bridge = start();
    json summaries = list(*bridge);
    ASSERT_EQ(summaries.size(), 2u);
    // 2001-01-01T00:00:00Z is 978307200 s after the Unix epoch.
    EXPECT_EQ(summaries[0]["started_at"], 978307200.5);
    EXPECT_EQ(summaries[0]["last_active"], 1978307200.0);
    EXPECT_EQ(summaries[0]["preview"], "hi");
    EXPECT_EQ(summaries[0]["source"], "proj");
    EXPECT_EQ(summaries[1]["started_at"], 978220800.0);

    ask(*bridge, "POST", "/api/sessions", R"({"id":"c"})"); // any change rewrites the file
    struct stat info {};
    ::stat(file.c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    json written = fileContent();
    EXPECT_EQ(written["a"], a);
    EXPECT_EQ(written["b"], b); // still without "claudeSessionId"
    EXPECT_NEAR(written["c"]["started"].get<double>(), double(std::time(nullptr)) - 978307200, 60);

    bridge.reset();
    auto again = start();
    EXPECT_EQ(again->sessions().all().size(), 3u);
    EXPECT_EQ(again->sessions().find("a")->claudeSessionId, "c-1");
    EXPECT_EQ(ask(*again, "GET", "/api/sessions/a/messages")["data"], a["messages"]);
}

TEST_F(StoredSessions, ListIsLatestFirstAndStable) {
    writeFile({{"e", stored("e", 0, 7)},
               {"a", stored("a", 0, 5)},
               {"c", stored("c", 0, 5)},
               {"b", stored("b", 0, 10)}});
    auto bridge = start();
    std::vector<std::string> ids;
    for (const json& item : list(*bridge))
        ids.push_back(item["id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"b", "e", "a", "c"}));
}

TEST_F(StoredSessions, TitleAndPreviewCountGraphemeClusters) {
    auto bridge = start();
    ask(*bridge, "POST", "/api/sessions",
        json{{"id", "z"}, {"title", repeat("a", 79) + family + "zz"}}.dump());
    EXPECT_EQ(bridge->sessions().find("z")->title, repeat("a", 79) + family);

    // A run's prompt titles its new session and becomes the preview.
    std::string prompt = repeat(eAcute, 159) + family + "y";
    EXPECT_EQ(bridge->sessions().addPrompt("run", prompt).title, repeat(eAcute, 80));
    EXPECT_EQ(list(*bridge)[0]["preview"], repeat(eAcute, 159) + family);
}

TEST_F(StoredSessions, UndecodableFileIsKeptAsideAndLoggedOnce) {
    json broken = {{"good", stored("good", 1, 2)}, {"bad", stored("bad", 1, 2)}};
    broken["bad"].erase("lastActive");
    for (std::string content : {broken.dump(), std::string("{")}) {
        SCOPED_TRACE(content);
        writeText(file, content, 0600);
        ::testing::internal::CaptureStderr();
        auto bridge = start();
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(bridge->sessions().all().empty());
        auto copies = corruptCopies();
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(readText(copies[0]), content);
        EXPECT_NE(err.find("] sessions file couldn't be decoded; kept as " + copies[0].string()),
                  std::string::npos)
            << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err; // with the claude line

        ask(*bridge, "POST", "/api/sessions", R"({"id":"new"})");
        EXPECT_EQ(readText(copies[0]), content);
        EXPECT_EQ(fileContent().size(), 1u);
        fs::remove(copies[0]);
    }
}

TEST_F(StoredSessions, MissingFileIsQuietAndSavesNeverCreateTheFolder) {
    ::testing::internal::CaptureStderr();
    auto bridge = start();
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("sessions"), std::string::npos);
    ask(*bridge, "DELETE", "/api/sessions/x");
    bridge->sessions().setClaudeSessionId("x", "c");
    EXPECT_FALSE(fs::exists(home.configFolder()));
}

TEST_F(StoredSessions, NewSessionsWorkInTheConfiguredProjectWhenItExists) {
    TempFolder project;
    EXPECT_EQ(start(project.path().string())->defaultProject(), project.path().string());
    EXPECT_FALSE(fs::exists(home.configFolder() / "workspace"));
    EXPECT_EQ(start((project.path() / "gone").string())->defaultProject(),
              (home.configFolder() / "workspace").string());
    EXPECT_TRUE(fs::is_directory(home.configFolder() / "workspace"));
}

TEST_F(StoredSessions, RecordWaitsForTheRunToEndThenStoresItsReply) {
    auto bridge = start();
    bridge->sessions().addPrompt("s", "question");
    bridge->sessions().setClaudeSessionId("s", "claude-1");
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

    status = {{"error", "it broke"}, {"output", "partial"}};
    writer.finish();
    settle(loop);
    record(*bridge, "s", {{"error", 5}, {"output", "fine"}});
    std::vector<Message> expected = {{{"role", "user"}, {"content", "question"}},
                                     {{"role", "assistant"}, {"content", "it broke"}},
                                     {{"role", "assistant"}, {"content", "fine"}}};
    EXPECT_EQ(bridge->sessions().find("s")->messages, expected);
    EXPECT_GT(bridge->sessions().find("s")->lastActive, before);
    EXPECT_EQ(fileContent()["s"]["messages"].size(), 3u);
    EXPECT_EQ(fileContent()["s"]["claudeSessionId"], "claude-1");

    // Empty replies change and save nothing.
    double lastActive = bridge->sessions().find("s")->lastActive;
    fs::remove(file);
    record(*bridge, "s", {{"output", ""}});
    record(*bridge, "s", {{"status", "failed"}});
    EXPECT_EQ(bridge->sessions().find("s")->messages, expected);
    EXPECT_EQ(bridge->sessions().find("s")->lastActive, lastActive);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(StoredSessions, RecordKeepsTheLast200Messages) {
    json messages = json::array();
    for (int i = 0; i < 200; ++i)
        messages.push_back({{"role", "user"}, {"content", "m" + std::to_string(i)}});
    writeFile({{"s", stored("s", 1, 2, messages)}});
    auto bridge = start();

    EXPECT_EQ(bridge->sessions().addPrompt("s", "one more").messages.size(), 201u);
    record(*bridge, "s", {{"output", "reply"}});
    const auto& kept = bridge->sessions().find("s")->messages;
    ASSERT_EQ(kept.size(), 200u);
    EXPECT_EQ(kept[0].at("content"), "m2");
    EXPECT_EQ(kept[198].at("content"), "one more");
    EXPECT_EQ(kept[199].at("content"), "reply");
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
