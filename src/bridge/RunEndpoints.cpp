// The run and approval endpoints. Until runs exist every run id is unknown, and the
// start stops after its checks.
#include "bridge/Bridge.h"

#include "util/text.h"

#include <nlohmann/json.hpp>

namespace pavix {

using nlohmann::json;

asio::awaitable<HTTPResponse> Bridge::approve(Call) {
    co_return HTTPResponse::json(200, {{"choice", "deny"}});
}

asio::awaitable<HTTPResponse> Bridge::startRun(Call call) {
    if (!claude_.binary)
        co_return errorResponse(
            409,
            "Claude Code isn't installed on this Mac. Install the Claude app, then try again.");
    json body = bodyObject(call.request.body);
    std::string input = trimWhitespaceAndNewlines(stringField(body, "input").value_or(""));
    if (input.empty()) co_return errorResponse(400, "input is required");
    // Next: the one-run-at-a-time rule, sessions_.addPrompt(id, input), the launch,
    // registration, and spawn(executor_, sessions_.record(...), ...) for the reply.
    co_return errorResponse(409, "Couldn't start Claude Code: runs are not available yet");
}

asio::awaitable<HTTPResponse> Bridge::runStatus(Call) {
    co_return errorResponse(404, "no such run");
}

asio::awaitable<HTTPResponse> Bridge::runEvents(Call) {
    co_return errorResponse(404, "no such run");
}

asio::awaitable<HTTPResponse> Bridge::answerApproval(Call) {
    co_return errorResponse(404, "no such run");
}

asio::awaitable<HTTPResponse> Bridge::steerRun(Call) {
    co_return errorResponse(404, "no such run");
}

asio::awaitable<HTTPResponse> Bridge::stopRun(Call) {
    co_return errorResponse(404, "no such run");
}

} // namespace pavix
