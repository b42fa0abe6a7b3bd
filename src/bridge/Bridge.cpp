#include "bridge/Bridge.h"

#include "config/ClaudeLocator.h"
#include "config/Installer.h"
#include "util/Files.h"
#include "util/Json.h"
#include "util/Log.h"
#include "util/Text.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>

namespace pavix {

using nlohmann::json;

namespace {

// Long enough to spare a status screen polling /health a stat per request, short enough
// that signing in shows at once.
constexpr auto signInCacheLife = std::chrono::seconds(2);

// Shutting down is polled: it happens once, at the end, and a run gives no finish signal
// of its own. Often enough that the service is gone soon after its last run ends.
constexpr auto shutdownPoll = std::chrono::milliseconds(50);

// Whether `a` equals `b`, in time that depends only on the lengths.
bool sameKey(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::vector<std::string> splitPath(std::string_view path) {
    std::vector<std::string> segments;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view segment = path.substr(0, slash);
        if (!segment.empty()) segments.emplace_back(segment);
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return segments;
}

// What `pattern`'s "*" segments captured, when every other segment matches exactly.
std::optional<std::vector<std::string>> match(std::string_view pattern,
                                              const std::vector<std::string>& segments) {
    const std::vector<std::string> wanted = splitPath(pattern);
    if (wanted.size() != segments.size()) return std::nullopt;
    std::vector<std::string> captures;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == "*")
            captures.push_back(segments[i]);
        else if (wanted[i] != segments[i])
            return std::nullopt;
    }
    return captures;
}

} // namespace

/// One row of the API's table: a request whose method and path match goes to `handler`.
struct Bridge::Endpoint {
    std::string method;
    std::string pattern; ///< segments; "*" matches one
    std::function<asio::awaitable<HTTPResponse>(Bridge&, Call)> handler;
    bool loopbackOnly = false; ///< other peers get 401 even with the key
};

Bridge::Bridge(asio::any_io_executor executor, BridgeConfig config)
    : executor_(std::move(executor))
    , config_(std::move(config))
    , claude_(ClaudeInstallation::locate())
    , approvalServer_(Installer::currentBinary())
    , sessions_(executor_, SessionStore::defaultFile(), config_.project)
    , runs_(executor_, configFolder() / "run-logs")
    , refusals_(executor_) {
    log("claude code: " + (claude_.binary ? claude_.binary->string() : "not found") + " " +
        claude_.version.value_or(""));
    if (config_.unusableMaxRuns)
        log("max_runs " + firstGraphemes(*config_.unusableMaxRuns, 40) +
            " is not a whole number from 1 to " + std::to_string(BridgeConfig::mostRuns) +
            ": one run at a time");
}

const std::vector<Bridge::Endpoint>& Bridge::endpoints() {
    static const std::vector<Endpoint> table = {
        {"POST", "internal/approve", &Bridge::relayApproval, /*loopbackOnly=*/true},
        {"GET", "api/sessions", &Bridge::listSessions},
        {"POST", "api/sessions", &Bridge::createSession},
        {"GET", "api/sessions/*/messages", &Bridge::sessionMessages},
        {"DELETE", "api/sessions/*", &Bridge::deleteSession},
        // The phone app asks for scheduled jobs and toolsets, which this service does not
        // have: fixed empty lists, holding no state, answer it.
        {"GET", "api/jobs",
         [](Bridge&, Call) -> asio::awaitable<HTTPResponse> {
             co_return HTTPResponse::json(200, {{"jobs", json::array()}});
         }},
        {"GET", "v1/toolsets",
         [](Bridge&, Call) -> asio::awaitable<HTTPResponse> {
             co_return HTTPResponse::json(200, {{"data", json::array()}});
         }},
        {"GET", "v1/runs", &Bridge::listRuns},
        {"POST", "v1/runs", &Bridge::startRun},
        {"GET", "v1/runs/*", &Bridge::runStatus},
        {"GET", "v1/runs/*/events", &Bridge::runEvents},
        {"POST", "v1/runs/*/approval", &Bridge::answerApproval},
        {"POST", "v1/runs/*/steer", &Bridge::steerRun},
        {"POST", "v1/runs/*/stop", &Bridge::stopRun},
    };
    return table;
}

HeadVerdict Bridge::checkHead(const HTTPRequest& head) {
    auto token = head.bearer();
    if (token && sameKey(*token, config_.key)) return {std::nullopt, true};
    if (head.method == "GET" && head.path == "/health") return {};
    refusals_.note(head.remoteAddress);
    return {HTTPResponse::error(401, "unauthorized"), false};
}

asio::awaitable<HTTPResponse> Bridge::handle(HTTPRequest request) {
    if (auto refusal = checkHead(request).refusal) co_return std::move(*refusal);
    if (request.method == "GET" && request.path == "/health") co_return health();

    const std::vector<std::string> segments = splitPath(request.path);
    for (const Endpoint& endpoint : endpoints()) {
        if (endpoint.method != request.method) continue;
        auto captures = match(endpoint.pattern, segments);
        if (!captures) continue;
        if (endpoint.loopbackOnly && !request.remoteIsLoopback)
            co_return HTTPResponse::error(401, "unauthorized");
        // g++ 12 destroys temporaries inside a co_await expression twice: keep them out of it.
        auto answer = endpoint.handler(*this, Call{std::move(request), std::move(*captures)});
        co_return co_await std::move(answer);
    }
    co_return HTTPResponse::error(404, "not found");
}

HTTPResponse Bridge::health() {
    auto now = std::chrono::steady_clock::now();
    if (signInCheckedAt_ == std::chrono::steady_clock::time_point() ||
        now - signInCheckedAt_ >= signInCacheLife) {
        signedIn_ = ClaudeLocator::isSignedIn();
        signInCheckedAt_ = now;
    }
    return HTTPResponse::json(
        200, {
                 {"status", "ok"},
                 {"name", "pavix-bridge"},
                 {"claude_code", claude_.version ? json(*claude_.version) : json(nullptr)},
                 {"signed_in", signedIn_},
             });
}

asio::awaitable<void> Bridge::relocateClaude() {
    if (claude_.binary && ClaudeLocator::isExecutableFile(*claude_.binary)) co_return;
    // Rare (Claude Code installed or moved by an update since) and short-lived: a thread
    // for this probe only.
    asio::thread_pool probe(1);
    auto found = co_await asio::co_spawn(
        probe,
        []() -> asio::awaitable<ClaudeInstallation> {
            co_return ClaudeInstallation::locate(std::chrono::seconds(2));
        },
        asio::use_awaitable);
    if (!found.binary) co_return; // the launch will say what is missing
    claude_ = std::move(found);
    log("claude code: " + claude_.binary->string() + " " + claude_.version.value_or(""));
}

asio::awaitable<void> Bridge::shutDown() {
    asio::steady_timer pause(executor_);
    for (;;) {
        runs_.stopAll();
        if (runs_.allEnded()) break;
        pause.expires_after(shutdownPoll);
        co_await pause.async_wait(asio::use_awaitable);
    }
    // A run hands its reply over as it ends, so every change is known by now.
    co_await sessions_.saved();
}

} // namespace pavix
