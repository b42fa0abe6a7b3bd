#include "bridge/Session.h"

#include "util/Text.h"

#include <nlohmann/json.hpp>

#include <chrono>

namespace pavix {

using nlohmann::json;

double referenceNow() {
    auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceUnixEpoch).count() - referenceDateOffset;
}

std::string lastPathComponent(const std::string& path) {
    std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? "" : "/";
    std::size_t begin = path.rfind('/', end);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return path.substr(begin, end + 1 - begin);
}

json sessionJSON(const Session& session) {
    std::string preview;
    if (!session.messages.empty()) {
        const Message& first = session.messages.front();
        if (auto content = first.find("content"); content != first.end())
            preview = firstGraphemes(content->second, 160);
    }
    return {
        {"id", session.id},
        {"title", session.title},
        {"preview", preview},
        {"source", lastPathComponent(session.cwd)},
        {"message_count", session.messages.size()},
        {"started_at", session.started + referenceDateOffset},
        {"last_active", session.lastActive + referenceDateOffset},
    };
}

namespace {

bool readString(const json& object, const char* key, std::string& out) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool readNumber(const json& object, const char* key, double& out) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return false;
    out = it->get<double>();
    return true;
}

bool readMessages(const json& object, std::vector<Message>& out) {
    auto it = object.find("messages");
    if (it == object.end() || !it->is_array()) return false;
    for (const json& item : *it) {
        if (!item.is_object()) return false;
        Message message;
        for (const auto& [key, value] : item.items()) {
            if (!value.is_string()) return false;
            message.emplace(key, value.get<std::string>());
        }
        out.push_back(std::move(message));
    }
    return true;
}

std::optional<Session> decodeSession(const json& object) {
    if (!object.is_object()) return std::nullopt;
    Session session;
    if (!readString(object, "id", session.id) || !readString(object, "title", session.title) ||
        !readString(object, "cwd", session.cwd) ||
        !readNumber(object, "started", session.started) ||
        !readNumber(object, "lastActive", session.lastActive) ||
        !readMessages(object, session.messages))
        return std::nullopt;
    // Optional, but a present value of another type is as wrong as a missing required key.
    if (auto it = object.find("claudeSessionId"); it != object.end() && !it->is_null()) {
        if (!it->is_string()) return std::nullopt;
        session.claudeSessionId = it->get<std::string>();
    }
    return session;
}

} // namespace

std::optional<Sessions> decodeSessions(const std::string& bytes) {
    json document = json::parse(bytes, nullptr, false);
    if (!document.is_object()) return std::nullopt;
    Sessions sessions;
    for (const auto& [key, value] : document.items()) {
        auto session = decodeSession(value);
        if (!session) return std::nullopt;
        sessions.emplace(key, std::move(*session));
    }
    return sessions;
}

std::string encodeSessions(const Sessions& sessions) {
    json document = json::object();
    for (const auto& [key, session] : sessions) {
        json messages = json::array();
        for (const Message& message : session.messages)
            messages.push_back(message);
        json object = {
            {"id", session.id},
            {"title", session.title},
            {"cwd", session.cwd},
            {"started", session.started},
            {"lastActive", session.lastActive},
            {"messages", std::move(messages)},
        };
        if (session.claudeSessionId) object["claudeSessionId"] = *session.claudeSessionId;
        document[key] = std::move(object);
    }
    // One stray invalid byte must not stop every later save.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace pavix
