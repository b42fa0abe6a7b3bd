// Starting runs, following and steering them, and relaying their approvals.
#include "bridge/Bridge.h"

#include "Log.h"
#include "config/ClaudeLocator.h"
#include "run/ClaudeRun.h"
#include "util/Ids.h"
#include "util/Text.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>

namespace pavix {

using nlohmann::json;

namespace {

HTTPResponse ok() {
    return HTTPResponse::json(200, {{"ok", true}});
}

HTTPResponse noSuchRun() {
    return errorResponse(404, "no such run");
}

} // namespace

asio::awaitable<HTTPResponse> Bridge::startRun(Call call) {
    if (!claude_.binary)
        co_return errorResponse(
            409,
            "Claude Code isn't installed on this Mac. Install the Claude app, then try again.");
    json body = bodyObject(call.request.body);
    std::string input = trimWhitespaceAndNewlines(stringField(body, "input").value_or(""));
    if (input.empty()) co_return errorResponse(400, "input is required");
    if (runs_.anyUnfinished())
        co_return errorResponse(
            409, "Claude Code is still working on another task. Stop it or wait for it to finish.");

    std::string sessionId = stringField(body, "session_id").value_or("");
    if (sessionId.empty()) sessionId = newSessionId();
    // Stored before the launch, so the prompt survives a launch that fails; its write
    // goes on meanwhile and ends before the answer.
    Session session = sessions_.addPrompt(sessionId, input);

    relocateVanishedClaude();
    ClaudeRun::Options options;
    options.prompt = input;
    options.instructions = stringField(body, "instructions");
    options.cwd = session.cwd;
    options.resume = session.claudeSessionId;
    options.config = config_;
    // Claude Code starts in the session's folder: a relative path would be looked up there.
    std::error_code ignored;
    options.binary = std::filesystem::absolute(*claude_.binary, ignored);
    options.onSession = [this, alive = std::weak_ptr(alive_), sessionId](std::string claudeId) {
        if (alive.lock()) sessions_.setClaudeSessionId(sessionId, std::move(claudeId));
    };
    auto started = ClaudeRun::start(executor_, std::move(options));
    if (!started) {
        co_await sessions_.saved();
        co_return errorResponse(409, "Couldn't start Claude Code: " + started.error().description);
    }

    std::shared_ptr<ClaudeRun> run = std::move(started.value());
    runs_.add(run);
    trimRuns();
    spawn(executor_,
          sessions_.record(
              run->subscribe(), [run] { return run->statusJSON(); }, sessionId),
          "recording a reply");
    // The run is registered: a start arriving during the wait finds it and gets 409.
    co_await sessions_.saved();
    co_return HTTPResponse::json(202, {{"run_id", run->id()}, {"status", "running"}});
}

void Bridge::relocateVanishedClaude() {
    if (!claude_.binary || ClaudeLocator::isExecutableFile(*claude_.binary)) return;
    auto found = ClaudeLocator::binary();
    if (!found) return; // the launch will say what is missing
    // This probe blocks the loop, but only for the first start after an update moved
    // Claude Code, and only briefly: a version that is slow to answer is not waited for.
    claude_ = {found, ClaudeLocator::version(*found, std::chrono::seconds(2))};
    log("claude code: " + found->string() + " " + claude_.version.value_or(""));
}

asio::awaitable<HTTPResponse> Bridge::runStatus(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    co_return HTTPResponse::json(200, run->statusJSON());
}

asio::awaitable<HTTPResponse> Bridge::runEvents(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    co_return HTTPResponse::events(run->subscribe());
}

asio::awaitable<HTTPResponse> Bridge::answerApproval(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    std::string choice = stringField(bodyObject(call.request.body), "choice").value_or("deny");
    if (!run->resolveApproval(std::move(choice)))
        co_return errorResponse(409, "nothing is waiting for approval");
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::steerRun(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run || run->finished()) co_return noSuchRun();
    // Unlike a prompt, a steering message goes as written: white space alone is a message.
    std::string input = stringField(bodyObject(call.request.body), "input").value_or("");
    if (input.empty()) co_return errorResponse(400, "input is required");
    if (!run->sendUserMessage(std::move(input)))
        co_return errorResponse(
            409, "Claude Code isn't taking more messages now. Stop it or wait for it to finish.");
    run->emit({{"event", "run.steered"}});
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::stopRun(Call call) {
    auto run = runs_.find(call.captures.at(0));
    if (!run) co_return noSuchRun();
    run->stop();
    co_return ok();
}

asio::awaitable<HTTPResponse> Bridge::approve(Call call) {
    json body = bodyObject(call.request.body);
    auto id = stringField(body, "run");
    auto run = id ? runs_.find(*id) : nullptr;
    if (!run) co_return HTTPResponse::json(200, {{"choice", "deny"}});
    std::string tool = stringField(body, "tool_name").value_or("tool");
    auto input = body.find("input");
    json toolInput = input != body.end() && input->is_object() ? *input : json::object();
    // The held run stays answerable while the phone decides; other requests go on.
    auto asking = run->requestApproval(std::move(tool), std::move(toolInput));
    std::string choice = co_await std::move(asking);
    co_return HTTPResponse::json(200, {{"choice", std::move(choice)}});
}

asio::awaitable<void> Bridge::stopRuns() {
    // Polled: this happens once, at the end, and a run gives no finish signal of its own.
    asio::steady_timer pause(executor_);
    for (;;) {
        runs_.stopActive();
        if (!runs_.anyActive()) break;
        pause.expires_after(std::chrono::milliseconds(50));
        co_await pause.async_wait(asio::use_awaitable);
    }
}

} // namespace pavix
