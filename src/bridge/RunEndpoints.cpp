// Starting runs, following and steering them, and relaying their approvals.
#include "bridge/Bridge.h"

#include "bridge/ConversationFolder.h"
#include "http/PeerWatch.h"
#include "run/ClaudeRun.h"
#include "util/Ids.h"
#include "util/Json.h"
#include "util/Log.h"
#include "util/Text.h"

#include <boost/asio/experimental/awaitable_operators.hpp>

#include <charconv>
#include <limits>

namespace pavix {

using nlohmann::json;

namespace {

#if defined(__APPLE__)
constexpr std::string_view notInstalled =
    "Claude Code isn't installed on this Mac. Install the Claude app, then try again.";
#else
constexpr std::string_view notInstalled =
    "Claude Code isn't installed on this computer. Install Claude Code, then try again.";
#endif

HTTPResponse ok() {
    return HTTPResponse::json(200, {{"ok", true}});
}

HTTPResponse noSuchRun() {
    return HTTPResponse::error(404, "no such run");
}

// A resume point: a decimal number of events already received, or nothing. A number too
// large to hold is past every event there can be: after the last one.
std::optional<std::size_t> eventNumber(const std::map<std::string, std::string>& values,
                                       const std::string& key) {
    auto found = values.find(key);
    if (found == values.end() || found->second.empty()) return std::nullopt;
    std::size_t number = 0;
    const std::string& text = found->second;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (end != text.data() + text.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) return std::numeric_limits<std::size_t>::max();
    if (error != std::errc()) return std::nullopt;
    return number;
}

/// A start between its checks and the registration of its run (or its refusal), counted in
/// `starts`. Its end may come after the Bridge's, when the loop drops a suspended start.
class StartUnderWay {
public:
    StartUnderWay(std::multiset<std::string>& starts, const std::string& session,
                  const std::shared_ptr<const bool>& alive)
        : starts_(starts)
        , at_(starts.insert(session))
        , alive_(alive) {}
    StartUnderWay(const StartUnderWay&) = delete;
    StartUnderWay& operator=(const StartUnderWay&) = delete;
    ~StartUnderWay() { end(); }
    void end() {
        if (!std::exchange(ended_, true) && alive_.lock()) starts_.erase(at_);
    }

private:
    std::multiset<std::string>& starts_;
    std::multiset<std::string>::iterator at_;
    std::weak_ptr<const bool> alive_;
    bool ended_ = false;
};

} // namespace

std::optional<HTTPResponse> Bridge::refuseStart(const std::string& sessionId) const {
    const unsigned limit = config_.maxRuns.value_or(1);
    // With one run at a time the answer stays what it always was.
    if (limit > 1 && (starting_.contains(sessionId) || runs_.unfinished(&sessionId) > 0))
        return HTTPResponse::error(409, "Claude Code is still working in this conversation. "
                                        "Stop it or wait for it to finish.");
    if (starting_.size() + runs_.unfinished() >= limit)
        return HTTPResponse::error(
            409, "Claude Code is still working on another task. Stop it or wait for it to finish.");
    return std::nullopt;
}

asio::awaitable<HTTPResponse> Bridge::startRun(Call call) {
    co_await relocateClaude();
    if (!claude_.binary) co_return HTTPResponse::error(409, notInstalled);
    json body = objectOrEmpty(call.request.body);
    std::string input = trimWhitespaceAndNewlines(copyString(body, "input").value_or(""));
    if (input.empty()) co_return HTTPResponse::error(400, "input is required");
    std::string sessionId = copyString(body, "session_id").value_or("");
    if (sessionId.empty()) sessionId = newSessionId();
    auto folder = conversationFolder(body, sessions_.find(sessionId));
    if (!folder) co_return HTTPResponse::error(400, folder.error().description);
    if (auto refusal = refuseStart(sessionId)) co_return std::move(*refusal);
    StartUnderWay underWay(starting_, sessionId, alive_);

    // Stored before the launch, so the prompt survives a launch that fails; its write
    // goes on meanwhile and ends before the answer.
    StoredSession session = sessions_.addPrompt(sessionId, input, std::move(*folder));

    ClaudeRun::Options options;
    // Claude Code starts in the session's folder: a relative path would be looked up there.
    std::error_code ignored;
    options.command = {std::filesystem::absolute(*claude_.binary, ignored),
                       session.cwd,
                       {},
                       copyString(body, "instructions"),
                       session.claudeSessionId,
                       config_,
                       approvalServer_};
    options.prompt = input;
    options.storedSessionId = sessionId;
    auto alive = std::weak_ptr(alive_);
    options.onSession = [this, alive, sessionId](std::string claudeId) {
        if (alive.lock()) sessions_.setClaudeSessionId(sessionId, std::move(claudeId));
    };
    options.onEnd = [this, alive, sessionId](std::string reply) {
        if (!alive.lock()) return;
        sessions_.addReply(sessionId, reply);
        runs_.keepWithinMemory();
    };
    auto run = ClaudeRun::start(executor_, std::move(options));
    if (!run) {
        co_await sessions_.saved();
        co_return HTTPResponse::error(409,
                                      "Couldn't start Claude Code: " + run.error().description);
    }
    runs_.add(*run);
    underWay.end();
    // The run is registered: a start arriving during the wait counts it.
    co_await sessions_.saved();
    co_return HTTPResponse::json(202, {{"run_id", (*run)->id()}, {"status", "running"}});
}

asio::awaitable<HTTPResponse> Bridge::listRuns(Call) {
    // Part of running several at once: unknown, as it always was, to a service without it.
    if (!config_.maxRuns) co_return HTTPResponse::error(404, "not found");
    json list = json::array();
    const auto& runs = runs_.all();
    for (std::size_t i = runs.size(); i-- > 0;) // newest first
        list.push_back({{"run_id", runs[i]->id()},
                        {"session_id", runs[i]->storedSessionId()},
                        {"status", runs[i]->status()}});
    co_return HTTPResponse::json(200, {{"runs", std::move(list)}});
}

asio::awaitable<HTTPResponse> Bridge::runStatus(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    co_return HTTPResponse::json(200, run->statusJSON());
}

asio::awaitable<HTTPResponse> Bridge::runEvents(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    const HTTPRequest& request = call.request;
    std::optional<std::size_t> after = eventNumber(request.query, "after");
    if (!after) after = eventNumber(request.headers, "last-event-id");
    // A client that has the whole of an ended run is told to stop reconnecting.
    if (after && run->finished() && *after >= run->events().size())
        co_return HTTPResponse::noContent();
    bool withIds = request.query.contains("ids");
    co_return HTTPResponse::events(run->read(after.value_or(0)), withIds);
}

asio::awaitable<HTTPResponse> Bridge::answerApproval(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    // No choice at all refuses; a word that is not offered is a mistake the phone can mend.
    auto word = copyString(objectOrEmpty(call.request.body), "choice");
    auto choice = word ? parseChoice(*word) : ApprovalChoice::deny;
    if (!choice) co_return HTTPResponse::error(400, "choice must be " + choiceWordsListed());
    if (!run->resolveApproval(*choice))
        co_return HTTPResponse::error(409, "nothing is waiting for approval");
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::steerRun(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run || run->finished()) co_return noSuchRun();
    // Unlike a prompt, a steering message goes as written: white space alone is a message.
    std::string input = copyString(objectOrEmpty(call.request.body), "input").value_or("");
    if (input.empty()) co_return HTTPResponse::error(400, "input is required");
    if (!run->steer(std::move(input)))
        co_return HTTPResponse::error(
            409, "Claude Code isn't taking more messages now. Stop it or wait for it to finish.");
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::stopRun(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    run->stop();
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::relayApproval(Call call) {
    using namespace asio::experimental::awaitable_operators;
    json body = objectOrEmpty(call.request.body);
    auto id = copyString(body, "run");
    auto run = id ? runs_.find(*id) : nullptr;
    if (!run) co_return HTTPResponse::json(200, {{"choice", choiceWord(ApprovalChoice::deny)}});
    std::string tool = copyString(body, "tool_name").value_or("tool");
    // The held run stays answerable while the phone decides; other requests go on. An
    // asker that goes away (its call cancelled, its process ended) withdraws the request.
    auto asking = run->requestApproval(std::move(tool), findObjectOrEmpty(body, "input"),
                                       copyString(body, "tool_use_id"));
    auto choice = ApprovalChoice::deny;
    if (!call.request.peer) {
        choice = co_await std::move(asking);
    } else {
        // g++ 12 destroys temporaries inside a co_await expression twice: none in it.
        auto either = std::move(asking) || call.request.peer->gone();
        auto outcome = co_await std::move(either);
        if (outcome.index() == 0) choice = std::get<0>(outcome);
    }
    co_return HTTPResponse::json(200, {{"choice", choiceWord(choice)}});
}

} // namespace pavix
