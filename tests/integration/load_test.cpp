// The real service under load on loopback: many subscribers of one long run while API
// calls keep coming, then many approved runs in a row; afterwards it must hold no more
// descriptors and no children than before. Leaks of memory are LeakSanitizer's to find.
#include "BridgeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pavix::test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Under AddressSanitizer everything runs several times slower (the full counts take
// over a minute there, more on a busy machine): the run is a tenth as long and the
// calls a tenth as many, so that the test stays within CI's time; the subscribers
// are as many.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LOAD_SANITIZED
#endif
#endif
#if defined(LOAD_SANITIZED) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

/// Waits until the service has no child (a run's agent is reaped a moment after the
/// run's end) and its descriptors have stayed put for a moment; those descriptors.
std::vector<std::string> settledDescriptors(const BridgeServer& bridge) {
    const auto deadline = Clock::now() + 20s;
    auto last = openDescriptors(bridge.pid());
    for (int stable = 0; stable < 5 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
        auto now = openDescriptors(bridge.pid());
        stable = now == last && childrenOf(bridge.pid()).empty() ? stable + 1 : 0;
        last = std::move(now);
    }
    EXPECT_EQ(childrenOf(bridge.pid()), std::vector<pid_t>{});
    return last;
}

/// Waits until the service holds exactly the descriptors `before` and no child.
void expectNothingLeftOver(const BridgeServer& bridge, const std::vector<std::string>& before) {
    eventually([&] {
        return openDescriptors(bridge.pid()) == before && childrenOf(bridge.pid()).empty();
    });
    EXPECT_EQ(openDescriptors(bridge.pid()), before);
    EXPECT_EQ(childrenOf(bridge.pid()), std::vector<pid_t>{});
}

/// Event streams of one run read side by side by one epoll loop over non-blocking
/// sockets. The bytes of each are compared, as they arrive, with those the furthest
/// stream has brought: one copy for all, and all must be identical.
class StreamFanOut {
public:
    StreamFanOut(std::uint16_t port, std::string path, std::string key)
        : port_(port)
        , request_("GET " + std::move(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                   "Authorization: Bearer " + std::move(key) + "\r\n\r\n")
        , poller_(::epoll_create1(EPOLL_CLOEXEC)) {}
    ~StreamFanOut() { ::close(poller_); }
    StreamFanOut(const StreamFanOut&) = delete;
    StreamFanOut& operator=(const StreamFanOut&) = delete;

    void open() {
        auto& stream = streams_.emplace_back();
        stream.connection = std::make_unique<Connection>(port_);
        stream.connection->send(request_);
        int fd = stream.connection->descriptor();
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.ptr = &stream;
        if (::epoll_ctl(poller_, EPOLL_CTL_ADD, fd, &interest) != 0) stream.ended = true;
    }

    /// Reads whatever arrives within `limit`.
    void pump(std::chrono::milliseconds limit) {
        epoll_event ready[64];
        int count = ::epoll_wait(poller_, ready, 64, static_cast<int>(limit.count()));
        for (int i = 0; i < count; ++i)
            read(*static_cast<Stream*>(ready[i].data.ptr));
    }

    std::size_t size() const { return streams_.size(); }
    /// Streams that have had their response head, or more.
    std::size_t started() const {
        return std::count_if(streams_.begin(), streams_.end(),
                             [](const Stream& s) { return s.received > 0; });
    }
    std::size_t ended() const {
        return std::count_if(streams_.begin(), streams_.end(),
                             [](const Stream& s) { return s.ended; });
    }
    /// Line feeds in the furthest stream so far: two per event.
    std::size_t lineFeeds() const { return lineFeeds_; }
    /// The furthest stream's bytes: all of every stream, once they are all complete.
    const std::string& bytes() const { return furthest_; }
    /// How many streams ended short of the furthest, or differed from it.
    std::size_t deviant() const {
        return std::count_if(streams_.begin(), streams_.end(), [&](const Stream& s) {
            return s.diverged || s.received != furthest_.size();
        });
    }

private:
    struct Stream {
        std::unique_ptr<Connection> connection;
        std::size_t received = 0;
        bool ended = false;
        bool diverged = false;
    };

    void read(Stream& stream) {
        static char buffer[256 * 1024];
        ssize_t n = ::recv(stream.connection->descriptor(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            stream.ended = true;
            ::epoll_ctl(poller_, EPOLL_CTL_DEL, stream.connection->descriptor(), nullptr);
            stream.connection->close();
            return;
        }
        std::string_view chunk(buffer, static_cast<std::size_t>(n));
        std::size_t known = std::min(chunk.size(), furthest_.size() - stream.received);
        if (chunk.substr(0, known) != std::string_view(furthest_).substr(stream.received, known))
            stream.diverged = true;
        auto fresh = chunk.substr(known);
        lineFeeds_ += static_cast<std::size_t>(std::count(fresh.begin(), fresh.end(), '\n'));
        furthest_ += fresh;
        stream.received += chunk.size();
    }

    std::uint16_t port_;
    std::string request_;
    std::deque<Stream> streams_;
    std::string furthest_;
    std::size_t lineFeeds_ = 0;
    int poller_;
};

/// The event texts of a whole event-stream response.
std::vector<std::string> eventTexts(const std::string& bytes) {
    std::vector<std::string> texts;
    auto at = bytes.find("\r\n\r\n");
    if (at == std::string::npos) return texts;
    for (at += 4; at < bytes.size();) {
        auto end = bytes.find("\n\n", at);
        if (end == std::string::npos || bytes.compare(at, 6, "data: ") != 0) break;
        texts.emplace_back(bytes, at + 6, end - at - 6);
        at = end + 2;
    }
    return texts;
}

/// Starts a run and follows it to its end, answering its approvals "once" as the phone
/// would; the names of its events.
std::vector<std::string> runThrough(HttpClient& client, const std::string& input) {
    std::string run = startRun(client, {{"input", input}});
    if (run.empty()) return {};
    auto events = client.events("/v1/runs/" + run + "/events");
    std::vector<std::string> names;
    while (auto text = events.next()) {
        names.push_back(json::parse(*text).value("event", ""));
        if (names.back() == "approval.request") {
            EXPECT_EQ(client.post("/v1/runs/" + run + "/approval", {{"choice", "once"}}).status,
                      200);
        }
    }
    EXPECT_TRUE(events.ended());
    return names;
}

} // namespace

TEST(Load, TwoHundredSubscribersGetTheSameWholeRunWhileTenThousandCallsSucceed) {
    constexpr std::size_t subscribers = 200, callers = 4;
    constexpr int deltas = sanitized ? 10'000 : 100'000;
    constexpr std::size_t calls = sanitized ? 1'000 : 10'000;
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    // The first run sets up what the service keeps for all runs (its child watcher).
    ASSERT_EQ(runThrough(client, "Warm up"),
              (std::vector<std::string>{"message.delta", "run.completed"}));
    const auto descriptors = settledDescriptors(bridge);

    // The deltas wait for a steering message, so the first subscribers are in before
    // any event; the steering message is answered after them, and that ends the run.
    bridge.setScenario(Scenario()
                           .thenTurn({step::init(), step::awaitInput(),
                                      step::chunked({step::repeat({step::delta("{{i}} ")}, deltas)},
                                                    64 * 1024, 0.002),
                                      step::success("streamed")})
                           .thenTurn({step::success("steered")}));

    std::string run = startRun(client, {{"input", "Stream"}});
    ASSERT_FALSE(run.empty());
    StreamFanOut streams(bridge.port(), "/v1/runs/" + run + "/events", bridge.key());
    const auto deadline = Clock::now() + 90s; // only a guard against a hang
    while (streams.size() < subscribers / 2)
        streams.open();
    while (streams.started() < streams.size() && Clock::now() < deadline)
        streams.pump(100ms);
    ASSERT_EQ(streams.started(), subscribers / 2);

    // Connection-per-request calls, with and without the key, all through the stream.
    std::atomic<std::size_t> failed{0};
    std::vector<std::string> failures(callers);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < callers; ++t)
        threads.emplace_back([&, t] {
            HttpClient caller = bridge.client();
            for (std::size_t i = t; i < calls; i += callers) {
                bool health = i % 2 == 0;
                auto response =
                    health ? caller.get("/health", false) : caller.get("/v1/runs/" + run);
                json body = response.json();
                if (response.status == 200 && body.is_object() &&
                    body.contains(health ? "claude_code" : "output"))
                    continue;
                if (failed++ == 0) failures[t] = response.raw;
            }
        });

    EXPECT_EQ(client.post("/v1/runs/" + run + "/steer", {{"input", "go"}}).status, 200);
    // The others join one by one during the first half: a replay, then the live tail.
    while (streams.ended() < streams.size() && Clock::now() < deadline) {
        if (streams.size() < subscribers &&
            streams.lineFeeds() / 2 >= (streams.size() - subscribers / 2) * deltas / subscribers)
            streams.open();
        streams.pump(100ms);
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failed, 0u) << "for instance:\n"
                          << *std::max_element(failures.begin(), failures.end());

    ASSERT_EQ(streams.size(), subscribers);
    ASSERT_EQ(streams.ended(), subscribers) << streams.lineFeeds() / 2 << " events so far";
    EXPECT_EQ(streams.deviant(), 0u);
    EXPECT_EQ(parseResponse(streams.bytes()).status, 200);
    auto texts = eventTexts(streams.bytes());
    ASSERT_EQ(texts.size(), deltas + 2u);
    EXPECT_EQ(json::parse(texts.front()), (json{{"event", "run.steered"}}));
    std::size_t outOfPlace = 0;
    for (int i = 1; i <= deltas; ++i)
        if (json::parse(texts[i]) !=
            json{{"event", "message.delta"}, {"delta", std::to_string(i) + " "}})
            ++outOfPlace;
    EXPECT_EQ(outOfPlace, 0u);
    json last = json::parse(texts.back());
    EXPECT_EQ(last["event"], "run.completed");
    EXPECT_EQ(last["output"], "steered");

    expectNothingLeftOver(bridge, descriptors);
}

TEST(Load, AHundredRunsInARowEachApprovedFromThePhone) {
    constexpr int runs = 100;
    BridgeServer bridge;
    step::Approval bash;
    bash.input = {{"command", "make test"}};
    bridge.setScenario(scenario::withToolCall(bash, "Tested."));
    ASSERT_TRUE(bridge.start());
    auto client = bridge.client();
    std::vector<std::string> descriptors;
    for (int i = 0; i < runs; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        auto names = runThrough(client, "Test it, please");
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(std::count(names.begin(), names.end(), "approval.request"), 1);
        EXPECT_EQ(names.back(), "run.completed");
        // The first run sets up what the service keeps for all runs (its child watcher).
        if (i == 0) descriptors = settledDescriptors(bridge);
    }
    auto approvals = bridge.waitForRecord("approval", runs);
    ASSERT_EQ(approvals.size(), std::size_t{runs});
    for (const auto& approval : approvals)
        EXPECT_EQ(approval["decision"]["behavior"], "allow");

    expectNothingLeftOver(bridge, descriptors);
}
