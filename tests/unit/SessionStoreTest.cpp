// The sessions file: its exact bytes, a file the store cannot decode, and how changes reach
// the disk (atomically, 0600, grouped while a write is under way).
#include "bridge/SessionStore.h"

#include "Loop.h"
#include "TempHome.h"
#include "util/Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

// What the first encoder (a dump of the whole nlohmann document) wrote for codecSample():
// stored files and older versions must keep reading each other. Invalid bytes became U+FFFD.
const std::string codecBytes =
    R"({"a":{"claudeSessionId":"c-1","cwd":"/w","id":"a","lastActive":1000000000.0,"messages":[{"content":"hi ��!","role":"user"},{},{"a":"��� �� ���� 👨","z":"\b\f\r"}],"started":0.5,"title":"q\"b\\s/\n\t\u0001\u001f)"
    "\x7f"
    R"(é"},"b":{"cwd":"","id":"b","lastActive":3.25,"messages":[],"started":-86400.0,"title":""},"�(":{"cwd":"/","id":"👨","lastActive":1.2345678901234568e+20,"messages":[],"started":1e-07,"title":"t"}})";

Sessions codecSample() {
    const std::string odd = "\xED\xA0\x80 \xC0\xAF \xF4\x90\x80\x80 \xF0\x9F\x91\xA8";
    return {{"a",
             {{"a", "q\"b\\s/\n\t\x01\x1f\x7f\xC3\xA9", "c-1", "/w", 0.5, 1e9},
              {{{"role", "user"}, {"content", "hi \xFF\xE2\x82!"}},
               {},
               {{"z", "\b\f\r"}, {"a", odd}}}}},
            {"b", {{"b", "", std::nullopt, "", -86400, 3.25}, {}}},
            {"\xC3(",
             {{"\xF0\x9F\x91\xA8", "t", std::nullopt, "/", 1e-7, 1.2345678901234568e+20}, {}}}};
}

class Store : public ::testing::Test {
protected:
    TempHome home;
    asio::io_context loop;
    fs::path file = home.configFolder() / "bridge-sessions.json";

    void SetUp() override { fs::create_directories(home.configFolder()); }
    std::unique_ptr<SessionStore> open(SessionsWriter writer = {}) {
        return std::make_unique<SessionStore>(loop.get_executor(), file, std::nullopt, writer);
    }
    // A change through the store as an endpoint makes it: answered once it is saved.
    void change(SessionStore& store, std::function<void()> what, int& answered) {
        auto changing = [](SessionStore* store, std::function<void()> what,
                           int* answered) -> asio::awaitable<void> {
            what();
            co_await store->saved();
            ++*answered;
        };
        startCoroutine(loop.get_executor(), changing(&store, std::move(what), &answered),
                       "changing");
    }
    void save(SessionStore& store, std::function<void()> what) {
        int answered = 0;
        change(store, std::move(what), answered);
        ASSERT_TRUE(runUntil(loop, [&] { return answered == 1; }));
    }
};

} // namespace

TEST(SessionsCodec, KeepsTheFirstEncodersBytesAndRoundTrips) {
    EXPECT_EQ(encodeSessions(codecSample()), codecBytes);
    EXPECT_EQ(encodeSessions(Sessions{}), "{}");
    auto decoded = decodeSessions(codecBytes);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(encodeSessions(*decoded), codecBytes);
    EXPECT_EQ(decoded->at("a").claudeSessionId, "c-1");
    EXPECT_EQ(decoded->at("b").claudeSessionId, std::nullopt);
    // Files written by hand or by another program, and wrong ones, are the sessions-file
    // fuzzer's seeds: it holds the decoder to the first one on each of them.
}

TEST_F(Store, UndecodableFileIsKeptAsideAndNeverReplaced) {
    writeText(file, "{\"a\":", 0600);
    ::testing::internal::CaptureStderr();
    auto store = open();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(store->allForTests().empty());
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(home.configFolder()))
        if (entry.path().filename().string().starts_with("bridge-sessions.json.corrupt-"))
            copies.push_back(entry.path());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(err.find("] sessions file couldn't be decoded; kept as " + copies[0].string()),
              std::string::npos)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    save(*store, [&] { store->create("new", std::nullopt); });
    EXPECT_EQ(readText(copies[0]), "{\"a\":");
    EXPECT_EQ(decodeSessions(readText(file))->size(), 1u);
}

TEST_F(Store, RepliesKeepTheLast200Messages) {
    auto store = open();
    store->create("z", "t");
    for (int i = 0; i < 200; ++i)
        store->addReply("z", "m" + std::to_string(i));
    store->addPrompt("z", "one more");
    store->addReply("z", "reply");
    const StoredSession& z = *store->find("z");
    const auto kept = nlohmann::json::parse(z.messagesJSON());
    ASSERT_EQ(kept.size(), 200u);
    EXPECT_EQ(z.messageCount, 200u);
    EXPECT_EQ(kept[0]["content"], "m2");
    EXPECT_EQ(z.preview, "m2");
    EXPECT_EQ(kept[199]["content"], "reply");
}

// Twenty creates while the first write is held: the first write holds one, the next all the
// others, and each create is answered only once the write holding it is over. The first
// write fails midway, as on a full disk: it is answered all the same, leaves nothing
// behind, and the next catches up.
TEST_F(Store, WritesAreGroupedWhileOneIsUnderWay) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> writes = 0;
    auto store = open([&](const fs::path& path, std::span<const std::string_view> parts) -> Status {
        if (writes++ > 0) return writeFileAtomically(path, parts);
        released.wait();
        rlimit saved{}, tiny{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        tiny = {1, saved.rlim_max};
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &tiny);
        Status written = writeFileAtomically(path, parts);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        return written;
    });
    int answered = 0;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 20; ++i)
        change(
            *store, [&store, i] { store->create("s" + std::to_string(i), "t"); }, answered);
    ASSERT_TRUE(runUntil(loop, [&] { return store->allForTests().size() == 20; }));
    EXPECT_EQ(answered, 0);
    release.set_value();
    ASSERT_TRUE(runUntil(loop, [&] { return answered == 20; }));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(writes, 2);
    EXPECT_NE(err.find("] couldn't save the sessions (kept in memory until a save works): " +
                       file.string()),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("] sessions saved again\n"), std::string::npos) << err;

    EXPECT_EQ(readText(file), encodeSessions(store->allForTests()));
    for (const auto& entry : fs::directory_iterator(home.configFolder()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
}

// The store's own writer replaces the file, private whatever the old one was: a reader
// holding the old one keeps it whole.
TEST_F(Store, ItsOwnWriterReplacesTheFileNeverRewritesIt) {
    writeText(file, "{}", 0644);
    fs::create_hard_link(file, home.path() / "old");
    auto store = open();
    save(*store, [&] { store->create("new", "t"); });
    EXPECT_EQ(readText(home.path() / "old"), "{}");
    EXPECT_EQ(readText(file), encodeSessions(store->allForTests()));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}
