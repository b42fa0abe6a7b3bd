// Feeds arbitrary bytes through the request parser to the Bridge, as connections do: the
// requests in them one after another, to one service starting without sessions. Checks what
// every answer promises: it comes (no handler throws or hangs), its status is one the
// service uses, its body is a JSON object, health is open and everything else needs the
// key (the approval relay also a loopback peer), and an error says what went wrong. Claude
// Code is given as not installed, so no input can start a process. (That an answered
// change is on disk is the kill -9 test's to show.)
#include "TempHome.h"
#include "bridge/Bridge.h"
#include "http/HTTPWire.h"
#include "http/RequestParser.h"
#include "util/Files.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace pavix;
using nlohmann::json;

namespace {

// The key the seeds carry; a bit of each request also sends it whatever it says itself.
constexpr std::string_view fuzzKey = "fuzzKEY-abcdefghijklmnopqrstuvwxyz012345678";

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

void check(const HTTPRequest& request, const HTTPResponse& response) {
    if (reasonPhrase(response.status()) == "Error") std::abort();
    if (response.isEvents()) {
        if (response.status() != 200 || request.method != "GET") std::abort();
        return;
    }
    json body = json::parse(response.body(), nullptr, false);
    if (!body.is_object()) std::abort();
    const bool health = request.method == "GET" && request.path == "/health";
    const bool relay =
        request.method == "POST" &&
        Bridge::splitPath(request.path) == std::vector<std::string>{"internal", "approve"};
    const bool refused =
        !health && (request.bearer() != fuzzKey || (relay && !request.remoteIsLoopback));
    if ((response.status() == 401) != refused) std::abort();
    if (health && (response.status() != 200 || body.value("status", "") != "ok")) std::abort();
    if (response.status() >= 400 &&
        (body.size() != 1 || !body.contains("error") || !body["error"].is_string()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The temporary home goes in memory where there is such a folder.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static test::TempHome home;
    static boost::asio::io_context loop;
    BridgeConfig config;
    config.key = fuzzKey;
    config.project = home.path().string();
    // Each input starts from no sessions, so whatever it finds, it finds again alone.
    std::filesystem::remove(SessionStore::defaultFile());
    std::filesystem::create_directories(configFolder());
    Bridge bridge(loop.get_executor(), config, ClaudeInstallation{});
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (int i = 0; i < 16; ++i) {
        unsigned mix = static_cast<unsigned>(bytes.size());
        for (unsigned char c : bytes)
            mix = mix * 31 + c;
        auto parsed = parseRequest(bytes, mix & 1);
        if (parsed.state != ParsedRequest::State::complete) break;
        HTTPRequest request = std::move(parsed.request);
        bytes.remove_prefix(bytes.find("\r\n\r\n") + 4 + request.body.size());
        if (mix & 2) request.headers["authorization"] = "Bearer " + std::string(fuzzKey);
        HTTPRequest asked = request;
        check(asked, answer(loop, bridge, std::move(request)));
    }
    return 0;
}
