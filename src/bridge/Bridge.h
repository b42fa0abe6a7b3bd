#pragma once

#include "bridge/RunRegistry.h"
#include "bridge/SessionStore.h"
#include "config/BridgeConfig.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "util/Async.h"

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

/// Where Claude Code was found at start, and the version it reported.
struct ClaudeInstallation {
    std::optional<std::filesystem::path> binary;
    std::optional<std::string> version;

    /// Asks the locator; blocks on the version probe, so call it before the loop runs.
    static ClaudeInstallation locate();
};

/// One request as an endpoint's handler sees it.
struct Call {
    HTTPRequest request;
    std::vector<std::string> captures; ///< what the pattern's "*" segments matched, in order
};

class Bridge;

/// One row of the API's table: a request whose method and path match goes to `handler`.
struct Endpoint {
    std::string method;
    std::string pattern; ///< segments; "*" matches one
    std::function<asio::awaitable<HTTPResponse>(Bridge&, Call)> handler;
    bool loopbackOnly = false; ///< other peers get 401 even with the key
};

/// The service behind the HTTP API: authorization, routing, the session store and the
/// runs. Loop-affine: construct it before the loop runs and use it only on that loop.
/// A reply being recorded needs the Bridge: destroy it only once the loop has stopped.
class Bridge {
public:
    /// Locates Claude Code (blocking on its version probe), loads the sessions, logs once.
    Bridge(asio::any_io_executor executor, BridgeConfig config);
    /// As above, with Claude Code's location given instead of looked up.
    Bridge(asio::any_io_executor executor, BridgeConfig config, ClaudeInstallation claude);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    /// Answers one request; every outcome, errors included, is a response.
    asio::awaitable<HTTPResponse> handle(HTTPRequest request);
    /// From the head alone: 401 for a request without the right key (all but GET
    /// /health need it), so that a stranger's body is never read; trusted with the key.
    HeadVerdict checkHead(const HTTPRequest& head) const;

    /// Whether `a` equals `b`, in time that depends only on the lengths.
    static bool equal(std::string_view a, std::string_view b);
    /// `path` split on "/", empty segments dropped.
    static std::vector<std::string> splitPath(std::string_view path);
    /// The segments `pattern`'s "*" captured when the methods are equal and every segment
    /// matches (exactly, case-sensitively); nothing otherwise.
    static std::optional<std::vector<std::string>> route(std::string_view patternMethod,
                                                         std::string_view pattern,
                                                         std::string_view requestMethod,
                                                         const std::vector<std::string>& segments);
    /// The API in matching order.
    static const std::vector<Endpoint>& endpoints();

    asio::any_io_executor executor() const { return executor_; }
    const BridgeConfig& config() const { return config_; }
    const ClaudeInstallation& claude() const { return claude_; }
    SessionStore& sessions() { return sessions_; }
    /// The working folder for a new session.
    std::string defaultProject() const { return sessions_.defaultProject(); }
    const RunRegistry& runs() const { return runs_; }

    /// Stops every run, including any started meanwhile, and completes once every run has
    /// finished and its process has ended: a stop ends in SIGKILL, so within seconds.
    asio::awaitable<void> stopRuns();

    /// Keeps at most `maxFinishedRuns` finished runs, dropping the oldest; called right
    /// after a run is registered.
    void trimRuns() { runs_.trim(maxFinishedRuns); }
    static constexpr std::size_t maxFinishedRuns = 20;

private:
    HTTPResponse health() const;

    // Session endpoints.
    asio::awaitable<HTTPResponse> listSessions(Call call);
    asio::awaitable<HTTPResponse> createSession(Call call);
    asio::awaitable<HTTPResponse> sessionMessages(Call call);
    asio::awaitable<HTTPResponse> deleteSession(Call call);

    // Run endpoints (RunEndpoints.cpp).
    asio::awaitable<HTTPResponse> approve(Call call);
    asio::awaitable<HTTPResponse> startRun(Call call);
    asio::awaitable<HTTPResponse> runStatus(Call call);
    asio::awaitable<HTTPResponse> runEvents(Call call);
    asio::awaitable<HTTPResponse> answerApproval(Call call);
    asio::awaitable<HTTPResponse> steerRun(Call call);
    asio::awaitable<HTTPResponse> stopRun(Call call);
    /// When the remembered Claude Code is no longer executable (an update removed its
    /// version folder), looks for it again and asks the new one its version.
    void relocateVanishedClaude();

    asio::any_io_executor executor_;
    BridgeConfig config_;
    ClaudeInstallation claude_;
    SessionStore sessions_;
    RunRegistry runs_;
    /// Callbacks that outlive the Bridge find this gone and do nothing.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

/// A request body as a JSON object: malformed, empty or non-object bodies give {}.
nlohmann::json bodyObject(const std::string& body);
/// `object[key]` when it is a string; a value of any other type counts as absent.
std::optional<std::string> stringField(const nlohmann::json& object, const char* key);

/// {"error": message} with `status`.
HTTPResponse errorResponse(std::int64_t status, const std::string& message);

} // namespace pavix
