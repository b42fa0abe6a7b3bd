// The service as the phone and the command line meet it: which requests need the key and
// get what, the agent's version and sign-in state, the log, and the commands' words.
#include "BridgeServer.h"
#include "Loop.h"
#include "LoopbackPort.h"
#include "RunProgram.h"

#include "bridge/RefusalLog.h"
#include "platform/NetworkAddresses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

using namespace pavix;
using namespace pavix::test;

namespace {

const json unauthorized = {{"error", "unauthorized"}}, notFound = {{"error", "not found"}},
           noSuchRun = {{"error", "no such run"}}, inputRequired = {{"error", "input is required"}};
const std::string key = BridgeServer::Options().key;

std::string request(const std::string& line, const std::string& authorization = "Bearer " + key,
                    const std::string& body = "") {
    std::string text = line + " HTTP/1.1\r\nHost: x\r\n";
    if (!authorization.empty()) text += "Authorization: " + authorization + "\r\n";
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// An address of this machine that is not loopback (empty when there is none): a connection
// from it to itself never leaves the machine, yet its peer is no loopback peer.
std::string ownAddress() {
    auto addresses = networkAddresses();
    for (std::size_t i = 0; addresses && i < addresses->size(); ++i)
        if (addresses->at(i).address.find(':') == std::string::npos)
            return addresses->at(i).address;
    return "";
}

struct Case {
    std::string bytes;
    int status;
    json body;
};

// Keys that differ from the right one at its end, at its start, or in length only.
const std::string wrongLast = key.substr(0, key.size() - 1) + "X", wrongFirst = "X" + key.substr(1);
const std::string shorter = key.substr(0, key.size() - 1);

std::vector<Case> requestCases() {
    std::vector<Case> cases = {
        {request("POST /health"), 404, notFound},
        {request("GET /api/jobs", "bEARER  " + key), 200, {{"jobs", json::array()}}},
        {request("GET /api//jobs/"), 200, {{"jobs", json::array()}}},
        {request("GET /v1/toolsets"), 200, {{"data", json::array()}}},
        {request("PUT /api/jobs"), 404, notFound},
        {request("GET /API/jobs"), 404, notFound},
        {request("GET /v1/runs"), 404, notFound},
        {request("GET /v1/runs/abc/events"), 404, noSuchRun},
        {request("POST /v1/runs/abc/approval"), 404, noSuchRun},
        {request("POST /internal/approve", "Bearer " + key, R"({"run": "r"})"),
         200,
         {{"choice", "deny"}}},
    };
    for (const std::string& authorization :
         {std::string(), "Bearer " + shorter, "Bearer " + key + "5", "Bearer " + wrongLast,
          "Bearer " + wrongFirst, "Basic " + key})
        cases.push_back({request("GET /api/jobs", authorization), 401, unauthorized});
    for (const char* line : {"GET /health/", "GET /nowhere", "POST /internal/approve"})
        cases.push_back({request(line, ""), 401, unauthorized});
    for (const char* body : {"not json", R"({"input": 5})", "{\"input\": \" \\n\\t\\u2028 \"}"})
        cases.push_back({request("POST /v1/runs", "Bearer " + key, body), 400, inputRequired});
    return cases;
}

// The version is asked once, at start; the sign-in state again within seconds.
void checkHealth(BridgeServer& bridge) {
    auto health = bridge.client().get("/health", false).json();
    EXPECT_EQ(health, (json{{"status", "ok"},
                            {"name", "pavix-bridge"},
                            {"claude_code", "3.4.5"},
                            {"signed_in", false}}));
    writeText(bridge.home().path() / ".claude/.credentials.json", "{}", 0600);
    EXPECT_TRUE(eventually(
        [&] { return bridge.client().get("/health", false).json()["signed_in"] == true; }, 5s));
    auto probes = bridge.record("start");
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes[0]["args"], json{"--version"});
}

// The start is announced; nine refusals: the first logged at once, the others counted for
// the minute's end; never a key presented.
void checkLog(BridgeServer& bridge) {
    std::string log = bridge.log();
    auto announced = log.find("] pavix-bridge on port " + std::to_string(bridge.port()) + "\n");
    EXPECT_NE(announced, std::string::npos) << log;
    EXPECT_GT(log.find("] listening\n"), announced) << log;
    auto refusals = log.find("] unauthorized requests from 127.0.0.1: 1\n");
    EXPECT_NE(refusals, std::string::npos) << log;
    EXPECT_EQ(log.rfind("unauthorized requests"), refusals + 2) << log; // the only line
    for (const std::string& presented : {wrongLast, wrongFirst, shorter})
        EXPECT_EQ(log.find(presented), std::string::npos) << presented;
}

} // namespace

TEST(Service, AnswersEachRequestAsItsKeyPathAndBodySay) {
    TempFolder elsewhere; // the service's own CLAUDE_CONFIG_DIR: runs never see it, nor this
    writeText(elsewhere.path() / ".credentials.json", "{}", 0600);
    BridgeServer::Options options;
    options.environment = {{"CLAUDE_CONFIG_DIR", elsewhere.path().string()}};
    BridgeServer bridge(options);
    bridge.setScenario({{"version", "3.4.5 (Claude Code)\n"}});
    ASSERT_TRUE(bridge.start());
    for (const Case& c : requestCases()) {
        auto response = parseResponse(bridge.client().exchange(c.bytes));
        EXPECT_EQ(response.status, c.status) << c.bytes;
        EXPECT_EQ(response.json(), c.body) << c.bytes;
    }
    EXPECT_EQ(bridge.client().exchange(request("GET /anything")),
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: 21\r\n"
              "Connection: close\r\n\r\n{\"error\":\"not found\"}");
    checkHealth(bridge);
    checkLog(bridge);
}

// Counted per peer, told once per interval; a quiet peer is forgotten, and past the
// table's budget the rest count together.
TEST(Service, RefusedKeysAreCountedPerPeerAndLoggedOncePerInterval) {
    asio::io_context loop;
    RefusalLog refusals(loop.get_executor(), 200ms);
    testing::internal::CaptureStderr();
    for (const char* peer : {"192.0.2.1", "192.0.2.1", "192.0.2.1", "2001:db8::1"})
        refusals.note(peer);
    runFor(loop, 500ms); // the first interval ends: the two unlogged ones are told
    refusals.note("192.0.2.1");
    runFor(loop, 1s); // its next ends with one, the one after with none: forgotten
    refusals.note("192.0.2.1");
    for (std::size_t i = 0; i <= RefusalLog::maxPeers; ++i)
        refusals.note("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    refusals.note("192.0.2.2");
    std::string told = std::regex_replace(testing::internal::GetCapturedStderr(),
                                          std::regex(".*requests from (10\\..*\n)?"), "");
    EXPECT_EQ(told, "192.0.2.1: 1\n2001:db8::1: 1\n192.0.2.1: 2\n192.0.2.1: 1\n192.0.2.1: 1\n"
                    "other addresses: 1\n");
}

// "listen" in bridge.json: that address only, and 127.0.0.1 for the approval tool, which
// answers only there (the same key from another address is refused). Anything else stops the
// service at start: no address (a value of another type included), or one that cannot be bound.
TEST(Service, ListensWhereItIsTold) {
    for (const std::string& listen : {std::string("127.0.0.1"), ownAddress()}) {
        if (listen.empty()) continue; // no address but loopback here
        BridgeServer::Options options;
        options.listen = listen;
        BridgeServer bridge(options);
        ASSERT_TRUE(bridge.start());
        EXPECT_EQ(bridge.client().post("/internal/approve", {{"run", "r"}}).json()["choice"],
                  "deny");
        auto from = [&](const std::string& bytes) {
            Connection there(bridge.port(), listen);
            EXPECT_TRUE(there.send(bytes)) << listen;
            return parseResponse(there.receiveAll());
        };
        EXPECT_EQ(from(request("GET /api/sessions")).json(), (json{{"data", json::array()}}));
        if (listen != "127.0.0.1") {
            EXPECT_EQ(from(request("POST /internal/approve", "Bearer " + key, "{}")).json(),
                      unauthorized);
            EXPECT_EQ(from(request("GET /api/sessions", "")).json(), unauthorized);
            EXPECT_NE(bridge.log().find("] unauthorized requests from " + listen + ": 1\n"),
                      std::string::npos); // refused for its key, the peer is named
        }
        EXPECT_FALSE(Connection(bridge.port(), "127.0.0.2").send(request("GET /health")))
            << "every interface";
        EXPECT_NE(bridge.log().find("] pavix-bridge on " + listen + " port "), std::string::npos);
    }
    TempHome home;
    ReservedPort reserved;
    const std::string port = std::to_string(reserved.number());
    for (const auto& [listen, reason] : std::vector<std::pair<json, std::string>>{
             {"localhost", R"(listen address "localhost" is not an IP address)"},
             {json::array({"::1"}), R"(listen address "["::1"]" is not an IP address)"},
             {"192.0.2.1", "can't listen on 192.0.2.1 port " + port + ": "}}) {
        writeText(home.configFolder() / "bridge.json",
                  json({{"port", std::stoi(port)}, {"key", key}, {"listen", listen}}).dump());
        auto result = runBridge({"serve"}, {{"PAVIX_CLAUDE_PATH", FAKE_CLAUDE_PATH}});
        EXPECT_EQ(result.status, 1) << listen;
        EXPECT_NE(result.err.find("] couldn't start: " + reason), std::string::npos) << result.err;
    }
}

TEST(Service, CommandWords) {
    TempHome home;
    for (std::string word : {"Serve", "", "--version"}) {
        auto result = runBridge({word});
        EXPECT_EQ(result.status, 2) << word;
        EXPECT_EQ(result.out, "usage: pavix-bridge [serve | setup | install | uninstall]\n");
    }
    EXPECT_FALSE(std::filesystem::exists(home.configFolder())) << "nothing made for a wrong word";
}
