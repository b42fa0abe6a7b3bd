// The sessions and configuration files under faults: the service killed mid-change, a
// configuration folder it cannot write, a full disk.
#include "BridgeServer.h"
#include "PrivateMounts.h"

#include "bridge/Session.h"
#include "util/Files.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <random>
#include <thread>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PAVIX_TEST_ASAN 1
#endif
#endif

const std::string family =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";

fs::path sessionsFile(const BridgeServer& server) {
    return server.home().configFolder() / "bridge-sessions.json";
}

/// What the API's changes decide about a session: its title and the prompts of its runs
/// (the replies come later, from the agent, and are not acknowledged to anyone).
struct Shape {
    std::string title;
    std::vector<std::string> prompts;
    bool operator==(const Shape&) const = default;
};
using Shapes = std::map<std::string, Shape>;

Shapes shapesOf(const Sessions& sessions) {
    Shapes shapes;
    for (const auto& [id, session] : sessions) {
        Shape& shape = shapes[id];
        shape.title = session.title;
        for (const Message& message : session.messages)
            if (message.at("role") == "user") shape.prompts.push_back(message.at("content"));
    }
    return shapes;
}

std::string describe(const Shapes& shapes) {
    json out = json::object();
    for (const auto& [id, shape] : shapes)
        out[id] = {shape.title, shape.prompts};
    return out.dump();
}

/// The file as it is on disk: nothing when it is missing or does not decode.
std::optional<Sessions> storedSessions(const BridgeServer& server) {
    auto bytes = readFile(sessionsFile(server));
    if (!bytes) return std::nullopt;
    return decodeSessions(*bytes);
}

/// Names in the configuration folder that only a half-done write would leave.
std::vector<std::string> strayFiles(const BridgeServer& server) {
    std::vector<std::string> stray;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(server.home().configFolder(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.starts_with(".") || name.find(".corrupt-") != std::string::npos)
            stray.push_back(name);
    }
    return stray;
}

/// One change through the API, with what it does to the sessions when acknowledged.
struct Change {
    std::string method, path;
    json body;
    int status = 200;
    std::function<void(Shapes&)> apply;
};

/// A random change: creating a session (mostly a new one), deleting one (mostly an existing
/// one), or starting a run in one, which adds its prompt.
Change randomChange(std::mt19937& random, const Shapes& shapes, int serial) {
    auto pick = [&](double existing) {
        if (shapes.empty() || !std::bernoulli_distribution(existing)(random))
            return "s" + std::to_string(serial);
        auto it = shapes.begin();
        std::advance(it, std::uniform_int_distribution<std::size_t>(0, shapes.size() - 1)(random));
        return it->first;
    };
    switch (std::uniform_int_distribution<int>(0, 2)(random)) {
    case 0: {
        std::string id = pick(0.2), title = (serial % 3 ? "title " : family + " ") + id;
        return {
            "POST", "/api/sessions", {{"id", id}, {"title", title}}, 200, [id, title](Shapes& s) {
                s.try_emplace(id, Shape{title, {}});
            }};
    }
    case 1: {
        std::string id = pick(0.9);
        return {"DELETE", "/api/sessions/" + id, nullptr, 200, [id](Shapes& s) { s.erase(id); }};
    }
    default: { // 202, or 409 while the last run is still working
        std::string id = pick(0.7), prompt = "prompt " + std::to_string(serial);
        return {"POST",
                "/v1/runs",
                {{"input", prompt}, {"session_id", id}},
                202,
                [id, prompt](Shapes& s) {
                    s.try_emplace(id, Shape{prompt, {}}).first->second.prompts.push_back(prompt);
                }};
    }
    }
}

/// Waits until session `id` holds `count` messages (its run's reply is recorded after
/// the run ends).
bool waitForMessages(HttpClient& client, const std::string& id, std::size_t count) {
    return eventually([&] {
        return client.get("/api/sessions/" + id + "/messages").json()["data"].size() == count;
    });
}

unsigned testSeed() {
    if (const char* given = std::getenv("PAVIX_TEST_SEED")) return std::stoul(given);
    return std::random_device()();
}

} // namespace

// Each round starts the service on the same home, checks that it serves what the file holds,
// then streams changes at it until a SIGKILL at a random moment ends it mid-stream.
TEST(DataSafety, KillNineNeverLosesAnAcknowledgedChange) {
#ifdef PAVIX_TEST_ASAN
    const int rounds = 60; // a sanitized start costs several times more
#else
    const int rounds = 200;
#endif
    const unsigned seed = testSeed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (PAVIX_TEST_SEED repeats it)");
    std::mt19937 random(seed);
    BridgeServer server;
    server.setScenario(scenario::replying("done"));
    Shapes acknowledged;
    int serial = 0;

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(server.start());
        ASSERT_EQ(strayFiles(server), std::vector<std::string>());
        auto listed = server.client().get("/api/sessions");
        ASSERT_EQ(listed.status, 200) << listed.raw << "\nlog:\n" << server.log();
        json served = listed.json()["data"];
        json expected = json::array();
        for (const auto& [id, session] : storedSessions(server).value_or(Sessions{}))
            expected.push_back(sessionJSON(session));
        auto byId = [](const json& a, const json& b) { return a["id"] < b["id"]; };
        std::sort(served.begin(), served.end(), byId);
        std::sort(expected.begin(), expected.end(), byId);
        ASSERT_EQ(served, expected);

        auto delay =
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40'000)(random));
        std::thread killer([&, pid = server.pid()] {
            std::this_thread::sleep_for(delay);
            ::kill(pid, SIGKILL);
        });
        std::optional<Change> unanswered;
        HttpClient client = server.client();
        while (!unanswered) {
            Change change = randomChange(random, acknowledged, ++serial);
            auto response =
                client.request(change.method, change.path,
                               change.body.is_null() ? std::nullopt : std::optional(change.body));
            if (response.status == change.status)
                change.apply(acknowledged);
            else if (response.status == 0)
                unanswered = std::move(change);
            else if (response.status != 409) // 409: a run still working
                ADD_FAILURE() << response.raw;
        }
        killer.join();
        server.stop();

        auto stored = storedSessions(server);
        if (!stored && !fs::exists(sessionsFile(server))) stored = Sessions{}; // nothing saved yet
        ASSERT_TRUE(stored) << "the sessions file no longer decodes";
        Shapes found = shapesOf(*stored), withUnanswered = acknowledged;
        unanswered->apply(withUnanswered);
        ASSERT_TRUE(found == acknowledged || found == withUnanswered)
            << "found " << describe(found) << "\nacknowledged " << describe(acknowledged)
            << "\nunanswered " << unanswered->method << " " << unanswered->path << " "
            << unanswered->body.dump();
        acknowledged = found;
    }
}

namespace {

/// A file taking all the room left in `folder`'s file system but `pagesLeft` pages.
fs::path fillUp(const fs::path& folder, int pagesLeft = 0) {
    fs::path filler = folder / "filler";
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // Whole pages at page offsets: each write takes one new page or fails.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::string block(page, 'x');
    while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
    }
    if (pagesLeft > 0) (void)::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR) - pagesLeft * long(page));
    ::close(fd);
    return filler;
}

/// A fault that stops every save while it lasts, made in a private mount namespace.
struct SaveFault {
    const char* name;
    /// Prepares the home before the service starts.
    std::function<Status(PrivateMounts&, const BridgeServer&)> prepare, begin, end;
};

const SaveFault saveFaults[] = {
    {"read-only configuration folder", [](PrivateMounts&, const BridgeServer&) { return done(); },
     [](PrivateMounts& mounts, const BridgeServer& server) {
         return mounts.makeReadOnly(server.home().configFolder());
     },
     [](PrivateMounts& mounts, const BridgeServer& server) {
         return mounts.unmount(server.home().configFolder());
     }},
    {"full disk",
     [](PrivateMounts& mounts, const BridgeServer& server) {
         return mounts.mountTmpfs(server.homePath(), 256 * 1024);
     },
     [](PrivateMounts&, const BridgeServer& server) {
         fillUp(server.homePath());
         return done();
     },
     [](PrivateMounts&, const BridgeServer& server) {
         fs::remove(server.homePath() / "filler");
         return done();
     }},
};

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::unique_ptr<PrivateMounts> privateMounts() {
    auto mounts = PrivateMounts::create();
    if (!mounts) return nullptr;
    return std::move(mounts.value());
}

} // namespace

// While saves fail the service answers from memory and the files on disk stay whole; the
// first save after the fault writes everything.
TEST(DataSafety, FailingSavesKeepTheLastCompleteFileAndCatchUp) {
    for (const SaveFault& fault : saveFaults) {
        SCOPED_TRACE(fault.name);
        BridgeServer server;
        auto mounts = privateMounts();
        if (!mounts) GTEST_SKIP() << "needs root and mounts allowed in a private mount namespace";
        const fs::path folder = server.home().configFolder();
        ASSERT_TRUE(fault.prepare(*mounts, server).ok());
        ASSERT_TRUE(server.start());
        HttpClient client = server.client();
        ASSERT_EQ(client.post("/api/sessions", {{"id", "a"}, {"title", "before"}}).status, 200);
        ASSERT_EQ(client.post("/v1/runs", {{"input", "hello"}, {"session_id", "b"}}).status, 202);
        ASSERT_TRUE(waitForMessages(client, "b", 2));
        // A reply is acknowledged to nobody: its save lands a little later.
        ASSERT_TRUE(eventually(
            [&] { return readText(sessionsFile(server)).find("assistant") != std::string::npos; }));
        const std::string sessionsBefore = readText(sessionsFile(server));
        const std::string configBefore = readText(folder / "bridge.json");

        auto begun = fault.begin(*mounts, server);
        ASSERT_TRUE(begun.ok()) << begun.error().description;
        EXPECT_EQ(client.post("/api/sessions", {{"id", "c"}, {"title", "during"}}).status, 200);
        EXPECT_EQ(client.del("/api/sessions/a").status, 200);
        EXPECT_EQ(client.post("/v1/runs", {{"input", "again"}, {"session_id", "b"}}).status, 202);
        ASSERT_TRUE(waitForMessages(client, "b", 4));
        json ids = json::array(), summaries = client.get("/api/sessions").json()["data"];
        for (const json& summary : summaries)
            ids.push_back(summary["id"]);
        EXPECT_EQ(ids, (json{"b", "c"}));
        EXPECT_EQ(readText(sessionsFile(server)), sessionsBefore);
        EXPECT_EQ(readText(folder / "bridge.json"), configBefore);
        EXPECT_EQ(strayFiles(server), std::vector<std::string>());

        auto ended = fault.end(*mounts, server);
        ASSERT_TRUE(ended.ok()) << ended.error().description;
        EXPECT_EQ(client.del("/api/sessions/none").status, 200);
        auto stored = storedSessions(server);
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->size(), 2u);
        EXPECT_EQ(stored->at("b").messages.size(), 4u);
        EXPECT_EQ(stored->at("c").title, "during");
        std::string log = server.log(); // one line when saves begin to fail, one when they work
        EXPECT_EQ(occurrences(log, "] couldn't save the sessions (kept in memory until a save "
                                   "works): " +
                                       sessionsFile(server).string() + ": "),
                  1)
            << log;
        EXPECT_EQ(occurrences(log, "] sessions saved again\n"), 1) << log;
        server.stop(); // before its mounts go
    }
}

// With no room for a first bridge.json the service does not start, and leaves no empty or
// partial file behind; an undecodable file that cannot be copied aside is not replaced.
TEST(DataSafety, NoRoomForAFirstConfigurationFails) {
    struct Case {
        const char* name;
        std::optional<std::string> existing;
        int pagesLeft; ///< on the file system once the existing file is written
    };
    const Case cases[] = {
        {"no file", std::nullopt, 0},
        {"undecodable file", "{\"port\": ", 0},
        {"room for a fresh file, not for a copy", std::string(40000, '['), 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        BridgeServer server;
        auto mounts = privateMounts();
        if (!mounts) GTEST_SKIP() << "needs root and mounts allowed in a private mount namespace";
        ASSERT_TRUE(mounts->mountTmpfs(server.homePath(), 64 * 1024).ok());
        const fs::path folder = server.home().configFolder();
        fs::create_directories(folder);
        if (test.existing) writeText(folder / "bridge.json", *test.existing, 0600);
        fillUp(server.homePath(), test.pagesLeft);

        EXPECT_FALSE(server.start(/*writeConfig=*/false));
        EXPECT_NE(server.log().find("] couldn't start: "), std::string::npos) << server.log();
        EXPECT_EQ(strayFiles(server), std::vector<std::string>());
        if (test.existing)
            EXPECT_EQ(readText(folder / "bridge.json"), *test.existing);
        else
            EXPECT_FALSE(fs::exists(folder / "bridge.json"));
    }
}
