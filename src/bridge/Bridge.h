#pragma once

#include "bridge/RefusalLog.h"
#include "bridge/RunRegistry.h"
#include "bridge/SessionStore.h"
#include "config/BridgeConfig.h"
#include "config/ClaudeInstallation.h"
#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "util/Async.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pavix {

/// The service behind the HTTP API: authorization, routing, the session store and the
/// runs. Loop-affine: construct it before the loop runs and use it only on that loop.
/// A reply being recorded needs the Bridge: destroy it only once the loop has stopped.
class Bridge {
public:
    /// Locates Claude Code (blocking on its version probe), loads the sessions, logs once.
    Bridge(asio::any_io_executor executor, BridgeConfig config);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    /// Answers one request; every outcome, errors included, is a response.
    asio::awaitable<HTTPResponse> handle(HTTPRequest request);
    /// From the head alone: 401 for a request without the right key (all but GET
    /// /health need it), so that a stranger's body is never read; trusted with the key.
    /// Refusals are logged by peer address (RefusalLog).
    HeadVerdict checkHead(const HTTPRequest& head);

    /// Stops every run, including any started meanwhile, and completes once every run has
    /// finished, its process has ended (a stop ends in SIGKILL, so within seconds) and
    /// every change to the sessions, their replies included, is on disk.
    asio::awaitable<void> shutDown();

private:
    /// One request as an endpoint's handler sees it.
    struct Call {
        HTTPRequest request;
        std::vector<std::string> captures; ///< what the pattern's "*" segments matched
    };
    struct Endpoint;
    static const std::vector<Endpoint>& endpoints();

    HTTPResponse health();

    // Session endpoints (SessionEndpoints.cpp).
    asio::awaitable<HTTPResponse> listSessions(Call call);
    asio::awaitable<HTTPResponse> createSession(Call call);
    asio::awaitable<HTTPResponse> sessionMessages(Call call);
    asio::awaitable<HTTPResponse> deleteSession(Call call);

    // Run endpoints (RunEndpoints.cpp).
    asio::awaitable<HTTPResponse> relayApproval(Call call);
    asio::awaitable<HTTPResponse> startRun(Call call);
    asio::awaitable<HTTPResponse> listRuns(Call call);
    /// 409 when a start for the stored session `sessionId` would pass the limit on runs, or
    /// (with several allowed) join that session's unfinished run.
    std::optional<HTTPResponse> refuseStart(const std::string& sessionId) const;
    asio::awaitable<HTTPResponse> runStatus(Call call);
    asio::awaitable<HTTPResponse> runEvents(Call call);
    asio::awaitable<HTTPResponse> answerApproval(Call call);
    asio::awaitable<HTTPResponse> steerRun(Call call);
    asio::awaitable<HTTPResponse> stopRun(Call call);
    /// When no Claude Code was found, or the one found is no longer executable (an update
    /// removed its version folder), looks for it again and asks the new one its version,
    /// on a thread of its own: the answer may take seconds.
    asio::awaitable<void> relocateClaude();

    asio::any_io_executor executor_;
    BridgeConfig config_;
    ClaudeInstallation claude_;
    /// This executable, which Claude Code starts as its approval server.
    std::filesystem::path approvalServer_;
    SessionStore sessions_;
    RunRegistry runs_;
    RefusalLog refusals_;
    /// The stored sessions of the starts under way: each counts as a run of its session from
    /// its checks until its run is registered or the start is refused.
    std::multiset<std::string> starting_;
    /// The sign-in check's last answer: health checks may come many times a second.
    bool signedIn_ = false;
    std::chrono::steady_clock::time_point signInCheckedAt_;
    /// Callbacks that outlive the Bridge find this gone and do nothing.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

} // namespace pavix
