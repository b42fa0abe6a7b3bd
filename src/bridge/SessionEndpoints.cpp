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

// The messages as the sessions file holds them, which is as the API writes them.
asio::awaitable<HTTPResponse> Bridge::sessionMessages(Call call) {
    const StoredSession* session = sessions_.find(call.captures.at(0));
    const std::string_view messages = session ? session->messagesJSON() : "[]";
    std::string body;
    body.reserve(messages.size() + 9);
    body.append("{\"data\":").append(messages) += '}';
    co_return HTTPResponse::jsonText(200, std::move(body));
}

asio::awaitable<HTTPResponse> Bridge::deleteSession(Call call) {
    sessions_.remove(call.captures.at(0));
    co_await sessions_.saved();
    co_return HTTPResponse::json(200, {{"ok", true}});
}

} // namespace pavix
