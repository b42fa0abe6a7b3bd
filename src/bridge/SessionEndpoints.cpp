#include "bridge/Bridge.h"

#include "bridge/ConversationFolder.h"
#include "util/Json.h"

namespace pavix {

using nlohmann::json;

asio::awaitable<HTTPResponse> Bridge::listSessions(Call) {
    co_return HTTPResponse::json(200, {{"data", sessions_.summaries()}});
}

asio::awaitable<HTTPResponse> Bridge::createSession(Call call) {
    json body = objectOrEmpty(call.request.body);
    std::string id = copyString(body, "id").value_or("");
    auto folder = conversationFolder(body, id.empty() ? nullptr : sessions_.find(id));
    if (!folder) co_return HTTPResponse::error(400, folder.error().description);
    id = sessions_.create(std::move(id), copyString(body, "title"), std::move(*folder));
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
