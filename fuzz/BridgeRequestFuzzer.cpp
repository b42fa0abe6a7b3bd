// Feeds arbitrary bytes through the request parser to the Bridge, as connections do: the
// requests in them one after another, to one service starting without sessions. Checks what
// every answer promises: it comes (no handler throws or hangs), its status is one the
// service uses, its body is a JSON object, health is open and everything else needs the
// key (the approval relay also a loopback peer), errors say what went wrong; and every
// change to the sessions is on disk when its answer is given. Claude Code is given as not
// installed, so no input can start a process.
#include "TempHome.h"
#include "bridge/Bridge.h"
#include "http/HTTPWire.h"
#include "http/RequestParser.h"
#include "util/Files.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

using namespace pavix;
using nlohmann::json;

namespace {

// The key the seeds carry; a bit of each request also sends it whatever the request says.
constexpr std::string_view fuzzKey = "fuzzKEY-abcdefghijklmnopqrstuvwxyz012345678";
// Requests answered one after another by one service, the rest of the input ignored.
constexpr int maxRequests = 16;

struct Service {
    boost::asio::io_context loop;
    BridgeConfig config;

    Service() {
        config.key = fuzzKey;
        config.project = homeFolder().string();
        // The service writes its configuration there before anything else.
        std::filesystem::create_directories(configFolder());
    }

    std::unique_ptr<Bridge> start() {
        return std::make_unique<Bridge>(loop.get_executor(), config, ClaudeInstallation{});
    }
};

Service& service() {
    static test::TempHome home;
    static Service instance;
    return instance;
}

HTTPResponse answer(boost::asio::io_context& loop, Bridge& bridge, HTTPRequest request) {
    std::optional<HTTPResponse> response;
    auto handling = [](Bridge* bridge, HTTPRequest request,
                       std::optional<HTTPResponse>* out) -> asio::awaitable<void> {
        out->emplace(co_await bridge->handle(std::move(request)));
    };
    asio::co_spawn(loop, handling(&bridge, std::move(request), &response),
                   [](std::exception_ptr error) {
                       if (error) std::abort(); // handlers never fail
                   });
    loop.restart();
    loop.run();
    if (!response) std::abort(); // nothing left to run, and still no answer
    return std::move(*response);
}

// Checks the answer's promises; returns its body.
json checkAnswer(const HTTPRequest& request, HTTPResponse& response) {
    if (reasonPhrase(response.status()) == "Error") std::abort();
    if (response.isEvents()) {
        if (response.status() != 200 || request.method != "GET") std::abort();
        return json::object();
    }
    json body = json::parse(response.body(), nullptr, false);
    if (!body.is_object()) std::abort();
    const bool health = request.method == "GET" && request.path == "/health";
    const bool keyed = request.bearer() == fuzzKey;
    const bool relay =
        request.method == "POST" &&
        Bridge::splitPath(request.path) == std::vector<std::string>{"internal", "approve"};
    const bool refused = !health && (!keyed || (relay && !request.remoteIsLoopback));
    if ((response.status() == 401) != refused) std::abort();
    if (health && (response.status() != 200 || body.value("status", "") != "ok")) std::abort();
    if (response.status() >= 400 &&
        (body.size() != 1 || !body.contains("error") || !body["error"].is_string()))
        std::abort();
    std::string bytes = jsonResponseBytes(response.status(), response.body());
    if (!bytes.ends_with("\r\n\r\n" + response.body()) ||
        bytes.find("\r\nContent-Length: " + std::to_string(response.body().size()) + "\r\n") ==
            std::string::npos)
        std::abort();
    return body;
}

// What a session endpoint's answer says holds in the store.
void checkSessions(const HTTPRequest& request, std::int64_t status, const json& body,
                   const SessionStore& store) {
    auto segments = Bridge::splitPath(request.path);
    if (status != 200 || segments.size() < 2 || segments[0] != "api" || segments[1] != "sessions")
        return;
    if (request.method == "POST" && !store.find(body["session"]["id"].get<std::string>()))
        std::abort();
    if (request.method == "DELETE" && store.find(segments.at(2))) std::abort();
    if (request.method == "GET" && segments.size() == 2 &&
        body["data"].size() != store.all().size())
        std::abort();
}

// What the store holds is what a restart would load.
void checkSaved(const SessionStore& store) {
    auto bytes = readFile(SessionStore::defaultFile());
    if (!bytes) {
        if (!store.all().empty()) std::abort();
        return;
    }
    auto saved = decodeSessions(*bytes);
    if (!saved || *saved != store.all()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The temporary home goes in memory where there is such a folder.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Each input starts from no sessions, so whatever it finds, it finds again alone.
    Service& s = service();
    std::filesystem::remove(SessionStore::defaultFile());
    auto bridge = s.start();
    for (int i = 0; i < maxRequests; ++i) {
        unsigned mix = static_cast<unsigned>(bytes.size());
        for (unsigned char c : bytes)
            mix = mix * 31 + c;
        const bool loopback = mix & 1;
        const bool sendKey = mix & 2; // the right key, whatever the request's own header says

        auto parsed = parseRequest(bytes, loopback);
        if (parsed.state != ParsedRequest::State::complete) break;
        HTTPRequest request = std::move(parsed.request);
        bytes.remove_prefix(bytes.find("\r\n\r\n") + 4 + request.body.size());
        if (sendKey) request.headers["authorization"] = "Bearer " + std::string(fuzzKey);

        HTTPRequest asked = request;
        HTTPResponse response = answer(s.loop, *bridge, std::move(request));
        json body = checkAnswer(asked, response);
        checkSessions(asked, response.status(), body, bridge->sessions());
        checkSaved(bridge->sessions());
    }
    // A restart finds what was saved.
    if (s.start()->sessions().all() != bridge->sessions().all()) std::abort();
    return 0;
}
