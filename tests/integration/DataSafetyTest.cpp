// The sessions file under faults: the service killed mid-change, a disk that is full.
#include "BridgeServer.h"
#include "PrivateMounts.h"

#include "bridge/Session.h"
#include "util/Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <random>
#include <thread>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

fs::path sessionsFile(const BridgeServer& server) {
    return server.home().configFolder() / "bridge-sessions.json";
}

/// What acknowledged changes decide about the sessions: each one's title and prompts.
using Shapes = std::map<std::string, std::pair<std::string, std::vector<std::string>>>;

/// The file as it is on disk; nothing when it does not decode.
std::optional<Shapes> stored(const BridgeServer& server) {
    auto bytes = readFile(sessionsFile(server));
    if (!bytes) return fs::exists(sessionsFile(server)) ? std::nullopt : std::optional(Shapes{});
    auto sessions = decodeSessions(*bytes);
    if (!sessions) return std::nullopt;
    Shapes shapes;
    for (const auto& [id, session] : *sessions) {
        shapes[id].first = session.title;
        for (const Message& message : session.messages)
            if (message.at("role") == "user") shapes[id].second.push_back(message.at("content"));
    }
    return shapes;
}

/// Names that only a half-done write would leave in the configuration folder.
std::vector<std::string> strayFiles(const BridgeServer& server) {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(server.home().configFolder()))
        if (auto name = entry.path().filename().string();
            name.starts_with(".") || name.find(".corrupt-") != std::string::npos)
            stray.push_back(name);
    return stray;
}

} // namespace

// Each round starts the service on the same home, checks that it serves what the file
// holds, then sends random changes until a SIGKILL at a random moment ends it: the file
// must then hold every acknowledged change, and the unanswered one or not.
TEST(DataSafety, KillNineNeverLosesAnAcknowledgedChange) {
    const int rounds = sanitized ? 60 : 200; // a sanitized start costs several times more
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto chance = [&](int in) { return std::uniform_int_distribution<int>(0, in - 1)(random); };
    BridgeServer server;
    server.setScenario(replying("done"));
    Shapes acknowledged;
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
    for (int round = 0, serial = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(server.start());
        ASSERT_EQ(strayFiles(server), std::vector<std::string>());
        json served = server.client().get("/api/sessions").json()["data"], expected = json::array();
        for (const auto& [id, session] :
             decodeSessions(readFile(sessionsFile(server)).value_or("{}")).value_or(Sessions{}))
            expected.push_back(sessionJSON(session));
        auto byId = [](const json& a, const json& b) { return a["id"] < b["id"]; };
        std::sort(served.begin(), served.end(), byId);
        std::sort(expected.begin(), expected.end(), byId);
        ASSERT_EQ(served, expected);

        std::thread killer([pid = server.pid(), delay = chance(40'000)] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            ::kill(pid, SIGKILL);
        });
        Shapes unanswered;
        for (auto client = server.client();;) {
            // Mostly a new session, mostly deleting one that exists, a run in either.
            std::string id =
                acknowledged.empty() || chance(3) == 0
                    ? "s" + std::to_string(++serial)
                    : std::next(acknowledged.begin(), chance(int(acknowledged.size())))->first;
            Shapes after = acknowledged;
            Response response;
            if (int kind = chance(3); kind == 0) {
                std::string title = (serial % 3 ? "title " : family) + id;
                after.try_emplace(id, title, std::vector<std::string>{});
                response = client.post("/api/sessions", {{"id", id}, {"title", title}});
            } else if (kind == 1) {
                after.erase(id);
                response = client.del("/api/sessions/" + id);
            } else {
                std::string prompt = "prompt " + std::to_string(serial);
                after.try_emplace(id, prompt, std::vector<std::string>{})
                    .first->second.second.push_back(prompt);
                response = client.post("/v1/runs", {{"input", prompt}, {"session_id", id}});
                if (response.status == 409) continue; // the last run is still working
            }
            if (response.status == 0) {
                unanswered = after;
                break;
            }
            EXPECT_LT(response.status, 300) << response.raw;
            acknowledged = after;
        }
        killer.join();
        server.stop();
        auto found = stored(server);
        ASSERT_TRUE(found) << "the sessions file no longer decodes";
        ASSERT_TRUE(*found == acknowledged || *found == unanswered);
        acknowledged = *found;
    }
}

// While saves fail the service answers from memory and the file on disk stays whole; the
// first save that works again writes everything.
TEST(DataSafety, AFullDiskKeepsTheLastWholeFileAndSavesCatchUp) {
    BridgeServer server;
    auto mounts = PrivateMounts::create();
    if (!mounts) GTEST_SKIP() << "no mounts of our own here: " << mounts.error().description;
    ASSERT_TRUE((*mounts)->mountTmpfs(server.home().path(), 256 * 1024).ok());
    ASSERT_TRUE(server.start());
    auto client = server.client();
    ASSERT_EQ(client.post("/api/sessions", {{"id", "a"}, {"title", "before"}}).status, 200);
    const std::string before = readText(sessionsFile(server));

    const fs::path filler = server.home().path() / "filler";
    { // whole pages until none is left
        int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        std::string page(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), 'x');
        while (fd >= 0 && ::write(fd, page.data(), page.size()) > 0) {
        }
        ::close(fd);
    }
    EXPECT_EQ(client.post("/api/sessions", {{"id", "b"}, {"title", "during"}}).status, 200);
    EXPECT_EQ(client.del("/api/sessions/a").status, 200);
    EXPECT_EQ(client.get("/api/sessions").json()["data"].size(), 1u);
    EXPECT_EQ(readText(sessionsFile(server)), before);
    EXPECT_EQ(strayFiles(server), std::vector<std::string>());

    fs::remove(filler);
    EXPECT_EQ(client.del("/api/sessions/none").status, 200);
    EXPECT_TRUE(eventually([&] { return stored(server) == Shapes{{"b", {"during", {}}}}; }));
    std::string log = server.log(); // one line when saves begin to fail, one when they work
    auto failing = log.find("] couldn't save the sessions");
    EXPECT_TRUE(failing != std::string::npos && failing == log.rfind("] couldn't save")) << log;
    EXPECT_NE(log.find("] sessions saved again\n"), std::string::npos) << log;
    server.stop(); // before its mount goes
}
