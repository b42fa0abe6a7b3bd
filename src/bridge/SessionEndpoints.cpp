#include "bridge/Bridge.h"

#include "util/Json.h"

namespace pavix {

using nlohmann::json;

asio::awaitable<HTTPResponse> Bridge::listSessions(Call) {
    co_return HTTPResponse::json(200, {{"data", sessions_.summaries()}});
}

asio::awaitable<HTTPResponse> Bridge::createSession(Call call) {
    json body = objectOrEmpty(call.request.body);
    std::string id =
        sessions_.create(stringValue(body, "id").value_or(""), stringValue(body, "title"));
    co_await sessions_.saved();
    co_return HTTPResponse::json(200, {{"session", {{"id", id}}}});
}

asio::awaitable<HTTPResponse> Bridge::sessionMessages(Call call) {
    json messages = json::array();
    if (const Session* session = sessions_.find(call.captures.at(0)))
        for (const Message& message : session->messages)
            messages.push_back(message);
    co_return HTTPResponse::json(200, {{"data", std::move(messages)}});
}

asio::awaitable<HTTPResponse> Bridge::deleteSession(Call call) {
    sessions_.remove(call.captures.at(0));
    co_await sessions_.saved();
    co_return HTTPResponse::json(200, {{"ok", true}});
}

} // namespace pavix
