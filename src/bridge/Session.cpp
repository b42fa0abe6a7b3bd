#include "bridge/Session.h"

#include "util/Json.h"
#include "util/Text.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace pavix {

using nlohmann::json;

namespace {

constexpr std::size_t previewLimit = 160;

} // namespace

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

json sessionJSON(const StoredSession& session) {
    return {
        {"id", session.id},
        {"title", session.title},
        {"preview", session.preview},
        {"source", lastPathComponent(session.cwd)},
        {"message_count", session.messageCount},
        {"started_at", session.started + referenceDateOffset},
        {"last_active", session.lastActive + referenceDateOffset},
    };
}

namespace {

// Exactly nlohmann's compact dump of the string, so files keep their bytes, without
// building a value for it.
void appendString(std::string& out, std::string_view text) {
    if (!isValidUTF8(text)) { // rare: the library picks the replacements, as it always has
        out += json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
        return;
    }
    out += '"';
    appendEscaped(out, text);
    out += '"';
}

void appendMember(std::string& out, std::string_view key, std::string_view value) {
    appendString(out, key);
    out += ':';
    appendString(out, value);
}

// The members before "messages" and after it, in nlohmann's order (sorted keys), so the
// bytes match a dump of the whole document.
void appendHead(std::string& out, const std::string& key, const SessionFields& session) {
    appendString(out, key);
    out += ":{";
    if (session.claudeSessionId) {
        appendMember(out, "claudeSessionId", *session.claudeSessionId);
        out += ',';
    }
    appendMember(out, "cwd", session.cwd);
    out += ',';
    appendMember(out, "id", session.id);
    out += ",\"lastActive\":" + json(session.lastActive).dump() + ",\"messages\":";
}

void appendTail(std::string& out, const SessionFields& session) {
    out += ",\"started\":" + json(session.started).dump() + ',';
    appendMember(out, "title", session.title);
    out += '}';
}

void appendMessageObject(std::string& out, const Message& message) {
    out += '{';
    for (const auto& [key, value] : message) {
        if (out.back() != '{') out += ',';
        appendMember(out, key, value);
    }
    out += '}';
}

// Where the string whose inside begins at `at` ends (its closing quote), in encoded text.
std::size_t stringEnd(std::string_view text, std::size_t at) {
    for (;; ++at) {
        at = text.find('"', at);
        std::size_t slashes = 0;
        while (text[at - 1 - slashes] == '\\')
            ++slashes;
        if (slashes % 2 == 0) return at;
    }
}

// Past the encoded message that begins at `at` ('{') and the comma after it, if any.
std::size_t messageEnd(std::string_view messages, std::size_t at) {
    ++at;
    while (messages[at] == '"') {
        at = stringEnd(messages, stringEnd(messages, at + 1) + 3) + 1; // key, ':"', value
        if (messages[at] == ',') ++at;
    }
    return messages[at + 1] == ',' ? at + 2 : at + 1;
}

// The first message's "content", unescaped and cut, from an encoded array of messages.
std::string previewOf(std::string_view messages) {
    std::size_t at = 2; // past '[{'
    while (messages.size() > 2 && messages[at] == '"') {
        std::size_t keyEnd = stringEnd(messages, at + 1),
                    valueEnd = stringEnd(messages, keyEnd + 3);
        if (messages.substr(at, keyEnd + 1 - at) == "\"content\"") {
            std::string content;
            appendUnescaped(content, messages.substr(keyEnd + 3, valueEnd - keyEnd - 3));
            return firstGraphemes(content, previewLimit);
        }
        at = valueEnd + (messages[valueEnd + 1] == ',' ? 2 : 1);
    }
    return {};
}

} // namespace

std::string encodeSession(const std::string& key, const Session& session) {
    std::string out;
    appendHead(out, key, session);
    out += '[';
    for (const Message& message : session.messages) {
        if (out.back() != '[') out += ',';
        appendMessageObject(out, message);
    }
    out += ']';
    appendTail(out, session);
    return out;
}

void encodeStoredSession(const std::string& key, StoredSession& session,
                         std::span<const std::string_view> messageParts, std::size_t count,
                         bool firstChanged) {
    std::string out;
    std::size_t size = key.size() + session.cwd.size() + session.id.size() + session.title.size() +
                       session.claudeSessionId.value_or("").size() + 160;
    for (std::string_view part : messageParts)
        size += part.size();
    out.reserve(size);
    appendHead(out, key, session);
    session.messagesAt = out.size();
    for (std::string_view part : messageParts)
        out += part;
    session.messagesSize = out.size() - session.messagesAt;
    appendTail(out, session);
    // Parts may point into the old text: it goes only now.
    session.encoded = std::make_shared<const std::string>(std::move(out));
    session.messageCount = count;
    if (firstChanged) session.preview = previewOf(session.messagesJSON());
}

void appendMessage(const std::string& key, StoredSession& session, std::string_view role,
                   std::string_view content, std::size_t keep) {
    std::string added = "{";
    appendMember(added, "content", content);
    added += ',';
    appendMember(added, "role", role);
    added += '}';
    const std::string_view old = session.messagesJSON();
    const std::size_t count = session.messageCount + 1;
    const std::size_t dropped = count > keep ? count - std::max<std::size_t>(keep, 1) : 0;
    std::size_t from = 1; // past '['
    for (std::size_t i = 0; i < dropped; ++i)
        from = messageEnd(old, from);
    const std::string_view kept = old.substr(from, old.size() - 1 - from);
    const std::string_view parts[] = {"[", kept, kept.empty() ? "" : ",", added, "]"};
    encodeStoredSession(key, session, parts, count - dropped, dropped > 0 || count == 1);
}

std::vector<std::string_view> sessionsFileParts(const std::vector<EncodedSession>& members) {
    std::vector<std::string_view> parts{"{"};
    parts.reserve(2 * members.size() + 1);
    for (const EncodedSession& member : members) {
        if (parts.size() > 1) parts.push_back(",");
        parts.push_back(*member);
    }
    parts.push_back("}");
    return parts;
}

namespace {

std::string joined(const std::vector<EncodedSession>& members) {
    const auto parts = sessionsFileParts(members);
    std::size_t size = 0;
    for (std::string_view part : parts)
        size += part.size();
    std::string file;
    file.reserve(size);
    for (std::string_view part : parts)
        file += part;
    return file;
}

} // namespace

std::string encodeSessions(const Sessions& sessions) {
    std::vector<EncodedSession> members;
    for (const auto& [key, session] : sessions)
        members.push_back(std::make_shared<const std::string>(encodeSession(key, session)));
    return joined(members);
}

std::string encodeSessions(const StoredSessions& sessions) {
    std::vector<EncodedSession> members;
    for (const auto& [key, session] : sessions)
        members.push_back(session.encoded);
    return joined(members);
}

} // namespace pavix
