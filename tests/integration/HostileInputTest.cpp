// Hostile and unusual requests sent to the real service: each is answered as if harmless
// or the connection is closed unanswered, none changes what it must not, strangers cannot
// make the service hold their bytes, and a phone that vanished from a stream is noticed.
#include "BridgeServer.h"

#include "http/ReadBudget.h"
#include "util/Files.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace pavix::test;
using nlohmann::json;

namespace {

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// Everything the service answers to `bytes` sent before the end of sending; empty when
// it closed the connection without a response.
std::string answerTo(std::uint16_t port, const std::string& bytes) {
    Connection connection(port);
    connection.send(bytes);
    connection.shutdownWrite();
    std::string answer = connection.receiveAll(30s);
    EXPECT_TRUE(connection.peerClosed());
    return answer;
}

// The kernel's timer ("kind:ticks left") on the service's side of our connection `fd`.
std::string serviceSideTimer(std::uint16_t port, int fd) {
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char ports[32];
    std::snprintf(ports, sizeof ports, ":%04X:%04X", port, ntohs(local.sin6_port));
    for (const char* file : {"/proc/net/tcp6", "/proc/net/tcp"}) {
        std::ifstream table(file);
        table.ignore(1000, '\n');
        for (std::string slot, from, to, state, queues, timer;
             table >> slot >> from >> to >> state >> queues >> timer; table.ignore(1000, '\n'))
            if (from.substr(from.size() - 5) + to.substr(to.size() - 5) == ports) return timer;
    }
    return "";
}

struct Case {
    std::string what, bytes;
    std::string answer; ///< status line after the version, and body; "": closed unanswered
};

std::string sized(const std::string& body) {
    return std::to_string(body.size());
}

// Requests with the key's header line `auth`.
struct Requests {
    std::string auth;
    // A header without a colon is a Content-Length.
    std::string post(const std::string& path, std::vector<std::string> headers,
                     const std::string& body) const {
        std::string request = "POST " + path + " HTTP/1.1\r\n" + auth;
        for (const auto& header : headers)
            request += header.find(':') == std::string::npos ? "Content-Length: " + header + "\r\n"
                                                             : header + "\r\n";
        return request + "\r\n" + body;
    }
    std::string get(const std::string& line) const {
        return line + " HTTP/1.1\r\n" + auth + "\r\n";
    }
    // A session request of exactly `total` bytes, head included.
    std::string ofSize(const std::string& id, std::size_t total) const {
        std::string body = R"({"id":")" + id + "\"}";
        body.insert(1, total - post("/api/sessions", {"1234567"}, body).size(), ' ');
        return post("/api/sessions", {sized(body)}, body);
    }
};

const std::string same = R"({"id":"same"})", split = R"({"id":"split"})";
const std::string deep = R"({"id":"deep","x":)" + nested(512) + "}";
const std::string deeper = R"({"id":"deeper","x":)" + nested(513) + "}";
const std::string deepest = R"({"input":"x","x":)" + nested(400'000) + "}";
const std::string chunked =
    "9;x=y\r\n{\"id\":\"ch\r\n1f\r\nunked\",\"title\":\"chunked title\"}\r\n0\r\nT: 1\r\n\r\n";
const std::string te = "Transfer-Encoding: chunked";
const std::string huge(1'950'000, 'h'), jobs = R"(200 OK {"jobs":[]})";
const std::string noInput = R"(400 Bad Request {"error":"input is required"})";

std::vector<Case> hostileCases(const std::string& key) {
    const Requests r{"Authorization: Bearer " + key + "\r\n"};
    const std::string& auth = r.auth;
    return {
        {"head not UTF-8", "GET /api/jobs HTTP/1.1\r\n" + auth + "X: \xc3\x28\r\n\r\n", ""},
        {"length beyond 64 bits", r.post("/v1/runs", {"18446744073709551616"}, R"({"input":"x"})"),
         noInput},
        {"equal lengths", r.post("/api/sessions", {sized(same), "+" + sized(same)}, same),
         R"(200 OK {"session":{"id":"same"}})"},
        {"conflicting lengths", r.post("/api/sessions", {sized(split), "2"}, split), ""},
        {"body not UTF-8", r.post("/v1/runs", {"13"}, "{\"input\":\"\xff\"}"), noInput},
        {"nesting at the bound", r.post("/api/sessions", {sized(deep)}, deep),
         R"(200 OK {"session":{"id":"deep"}})"},
        {"nesting past the bound", r.post("/api/sessions", {sized(deeper)}, deeper), "200 OK"},
        {"nesting far past the bound", r.post("/v1/runs", {sized(deepest)}, deepest), noInput},
        {"escaped slash", r.get("DELETE /api/sessions/same%2F"), R"(200 OK {"ok":true})"},
        {"escaped slash as a route's own", r.get("GET /api%2Fjobs"),
         R"(404 Not Found {"error":"not found"})"},
        {"escaped NUL", r.get("DELETE /api/sessions/same%00"), R"(200 OK {"ok":true})"},
        {"chunked body", r.post("/api/sessions", {te}, chunked),
         R"(200 OK {"session":{"id":"chunked"}})"},
        {"another coding", r.post("/api/sessions", {"Transfer-Encoding: gzip"}, "x"),
         R"(501 Not Implemented {"error":"unsupported transfer coding"})"},
        {"2,000,000 bytes", r.ofSize("cap", 2'000'000), R"(200 OK {"session":{"id":"cap"}})"},
        {"2,000,001 bytes", r.ofSize("over", 2'000'001), ""},
        {"a huge header line beside the key",
         "GET /api/jobs HTTP/1.1\r\n" + auth + "X: " + huge + "\r\n\r\n", jobs},
        {"a key in Unicode spaces", // only spaces and tabs are HTTP's white space
         "GET /api/jobs HTTP/1.1\r\nAuthorization: Bearer \u3000" + key + "\u3000\r\n\r\n",
         "401 Unauthorized"},
    };
}

// What the requests left behind.
void checkWhatWasStored(BridgeServer& bridge) {
    // Neither an escaped separator nor a NUL reached another session; nothing read a
    // body two ways, past the nesting bound or past the size cap.
    std::map<std::string, std::string> titles;
    const json sessions = bridge.client().get("/api/sessions").json();
    for (const json& session : sessions["data"])
        titles[session["id"].get<std::string>()] = session["title"].get<std::string>();
    EXPECT_EQ(titles.size(), 5u);
    EXPECT_TRUE(titles.count("same") && titles.count("deep") && titles.count("cap"));
    EXPECT_EQ(titles["chunked"], "chunked title");
    EXPECT_FALSE(titles.count("split") || titles.count("deeper") || titles.count("over"));
    // Nothing is named after what a request carries.
    for (const auto& entry : std::filesystem::directory_iterator(pavix::configFolder()))
        EXPECT_TRUE(entry.path().filename() == "bridge.json" ||
                    entry.path().filename() == "bridge-sessions.json" ||
                    entry.path().filename() == "workspace")
            << entry.path();
}

// Heads of 1 MB that never end: past the budget, the largest go, never a keyed upload
// however much larger it is.
void keyedUploadOutlivesAFlood(BridgeServer& bridge) {
    Connection keyed(bridge.port());
    const std::string upload = R"({"id":"kept","_":")" + std::string(1'995'000, 'k') + "\"}";
    const Requests r{"Authorization: Bearer " + bridge.key() + "\r\n"};
    ASSERT_TRUE(
        keyed.send(r.post("/api/sessions", {sized(upload)}, upload.substr(0, upload.size() - 2))));
    const std::string head = "GET /api/jobs HTTP/1.1\r\nX: " + std::string(1'000'000, 'h');
    std::vector<std::unique_ptr<Connection>> heads;
    for (int i = 0; i < 80; ++i) {
        heads.push_back(std::make_unique<Connection>(bridge.port()));
        heads.back()->send(head);
    }
    EXPECT_TRUE(eventually([&] {
        std::size_t closed = 0;
        for (auto& connection : heads)
            closed += connection->receiveSome(1ms).empty() && connection->peerClosed();
        return closed >= heads.size() - pavix::requestBufferBudget / head.size();
    }));
    EXPECT_EQ(bridge.client().get("/health", false).status, 200);
    ASSERT_TRUE(keyed.send(upload.substr(upload.size() - 2)));
    EXPECT_EQ(parseResponse(keyed.receiveAll()).body, R"({"session":{"id":"kept"}})");
}

} // namespace

TEST(HostileInput, RequestsAreAnsweredSafelyOrClosedUnanswered) {
    BridgeServer bridge;
    bridge.setScenario({{"turns", {{{{"delta", "Hi"}}, {{"sleep", 30}}}}}});
    ASSERT_TRUE(bridge.start());
    for (const Case& c : hostileCases(bridge.key())) {
        SCOPED_TRACE(c.what);
        std::string raw = answerTo(bridge.port(), c.bytes);
        auto head = raw.find("\r\n"), body = raw.find("\r\n\r\n");
        std::string answer =
            raw.empty() ? "" : raw.substr(9, head - 9) + " " + raw.substr(body + 4);
        EXPECT_EQ(answer.substr(0, c.answer.size()), c.answer);
        EXPECT_EQ(answer.empty(), c.answer.empty());
    }
    checkWhatWasStored(bridge);

    HTTPClient client = bridge.client();
    Events events = client.events("/v1/runs/" + startRun(client, {{"input", "Go"}}) + "/events");
    ASSERT_TRUE(events.next());
    // The kernel's keepalive timer is due within a minute (not the system's two hours), so
    // a phone that vanished without a byte on the wire is noticed.
    std::string timer = serviceSideTimer(bridge.port(), events.descriptor());
    EXPECT_TRUE(timer.starts_with("02:") && std::stoul(timer.substr(3), nullptr, 16) <= 6000)
        << timer;
}

TEST(HostileInput, StrangersCannotMakeTheServiceHoldTheirBytes) {
    BridgeServer bridge;
    ASSERT_TRUE(bridge.start());
    // A stranger's huge header line is refused, and costs about its own size to look at, not
    // many times it.
    const long peak = bridge.statusKiB("VmHWM");
    const std::string hugeHead = "GET / HTTP/1.1\r\nX: " + huge + "\r\n\r\n";
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(answerTo(bridge.port(), hugeHead).starts_with("HTTP/1.1 401"));
    EXPECT_TRUE(sanitized || bridge.statusKiB("VmHWM") - peak < 16 << 10) << peak << " KiB before";

    // Without the key the 401 comes at once, never a "100 Continue", and a stranger still
    // sending its body reads it, then the close rather than a reset.
    Connection stranger(bridge.port());
    const std::string body(1'999'000, 'b');
    ASSERT_TRUE(stranger.send("POST /v1/runs HTTP/1.1\r\nExpect: 100-continue\r\n"
                              "Content-Length: 1999000\r\n\r\n" +
                              body.substr(0, 1'000'000)));
    std::string early = stranger.receiveSome();
    EXPECT_TRUE(early.starts_with("HTTP/1.1 401 Unauthorized\r\n")) << early;
    stranger.send(body.substr(1'000'000));
    EXPECT_EQ(parseResponse(early + stranger.receiveAll()).body, R"({"error":"unauthorized"})");
    EXPECT_TRUE(stranger.peerClosed());

    keyedUploadOutlivesAFlood(bridge);

    // With the key, a client that waits for "100 Continue" gets it before sending.
    Connection client(bridge.port());
    const Requests r{"Authorization: Bearer " + bridge.key() + "\r\n"};
    ASSERT_TRUE(client.send(r.post("/api/sessions", {"Expect: 100-Continue", "15"}, "")));
    EXPECT_EQ(client.receiveSome(), "HTTP/1.1 100 Continue\r\n\r\n");
    ASSERT_TRUE(client.send(R"({"id":"waited"})"));
    EXPECT_EQ(parseResponse(client.receiveAll()).body, R"({"session":{"id":"waited"}})");
}
