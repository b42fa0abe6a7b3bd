// The sessions file when the service is killed mid-change.
#include "BridgeServer.h"

#include "bridge/Session.h"
#include "util/Files.h"

#include <gtest/gtest.h>

#include <csignal>
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
    if (!decodeSessions(*bytes)) return std::nullopt;
    Shapes shapes;
    const json sessions = json::parse(*bytes);
    for (const auto& [id, session] : sessions.items()) {
        shapes[id].first = session["title"];
        for (const json& message : session["messages"])
            if (message["role"] == "user") shapes[id].second.push_back(message["content"]);
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

const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";

// Random changes: mostly a new session, mostly deleting one that exists, a run in either.
struct Changes {
    std::mt19937 random;
    int serial = 0;

    int chance(int in) { return std::uniform_int_distribution<int>(0, in - 1)(random); }
    // Sends one; `after` is then what must be stored once it is acknowledged. Nothing when a
    // run is refused because the last one is still working.
    std::optional<Response> send(HTTPClient& client, const Shapes& acknowledged, Shapes& after) {
        std::string id =
            acknowledged.empty() || chance(3) == 0
                ? "s" + std::to_string(++serial)
                : std::next(acknowledged.begin(), chance(int(acknowledged.size())))->first;
        after = acknowledged;
        if (int kind = chance(3); kind == 0) {
            std::string title = (serial % 3 ? "title " : family) + id;
            after.try_emplace(id, title, std::vector<std::string>{});
            return client.post("/api/sessions", {{"id", id}, {"title", title}});
        } else if (kind == 1) {
            after.erase(id);
            return client.del("/api/sessions/" + id);
        }
        std::string prompt = "prompt " + std::to_string(serial);
        after.try_emplace(id, prompt, std::vector<std::string>{})
            .first->second.second.push_back(prompt);
        Response response = client.post("/v1/runs", {{"input", prompt}, {"session_id", id}});
        if (response.status == 409) return std::nullopt;
        return response;
    }
};

} // namespace

// Each round starts the service on the same home, checks that it serves what the file
// holds, then sends random changes until a SIGKILL at a random moment ends it: the file
// must then hold every acknowledged change, and the unanswered one or not.
TEST(DataSafety, KillNineNeverLosesAnAcknowledgedChange) {
    const int rounds = sanitized ? 60 : 200; // a sanitized start costs several times more
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Changes changes{std::mt19937(seed)};
    BridgeServer server;
    server.setScenario(replying("done"));
    Shapes acknowledged;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(server.start());
        ASSERT_EQ(strayFiles(server), std::vector<std::string>());
        ASSERT_EQ(server.client().get("/api/sessions").json()["data"].size(),
                  decodeSessions(readFile(sessionsFile(server)).value_or("{}"))->size());

        std::thread killer([pid = server.pid(), delay = changes.chance(40'000)] {
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
            ::kill(pid, SIGKILL);
        });
        Shapes unanswered, after;
        for (auto client = server.client();;) {
            auto response = changes.send(client, acknowledged, after);
            if (!response) continue;
            if (response->status == 0) {
                unanswered = after;
                break;
            }
            EXPECT_LT(response->status, 300) << response->raw;
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
