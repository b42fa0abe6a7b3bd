#include "bridge/Session.h"

#include "util/Text.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

namespace {

void appendEscape(std::string& out, unsigned char c) {
    // Pairs of a byte and the letter of its short escape, as nlohmann writes them.
    constexpr std::string_view shortEscapes = "\"\"\\\\\bb\tt\nn\ff\rr";
    for (std::size_t i = 0; i < shortEscapes.size(); i += 2) {
        if (static_cast<unsigned char>(shortEscapes[i]) != c) continue;
        out += '\\';
        out += shortEscapes[i + 1];
        return;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04x", c);
    out += code;
}

// Whether any of the eight bytes of `word` needs a closer look: a control byte, '"', '\\'
// or a byte of a multibyte character (false alarms are allowed; misses are not).
bool anyNotPlain(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto anyZero = [&](std::uint64_t x) { return (x - ones) & ~x; };
    return ((word - 0x20 * ones) | anyZero(word ^ ('"' * ones)) | anyZero(word ^ ('\\' * ones)) |
            word) &
           highs;
}

// Exactly nlohmann's compact dump of the string, so files keep their bytes, without
// building a value for it.
void appendString(std::string& out, std::string_view text) {
    const std::size_t begin = out.size();
    out += '"';
    bool ascii = true;
    std::size_t plain = 0; // where the bytes not yet copied begin
    for (std::size_t i = 0; i < text.size();) {
        std::uint64_t word;
        if (i + sizeof word <= text.size()) { // most text is plain: eight bytes at a time
            std::memcpy(&word, text.data() + i, sizeof word);
            if (!anyNotPlain(word)) {
                i += sizeof word;
                continue;
            }
        }
        auto c = static_cast<unsigned char>(text[i++]);
        ascii = ascii && c < 0x80;
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + plain, i - 1 - plain);
        appendEscape(out, c);
        plain = i;
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
    if (ascii || isValidUTF8(text)) return;
    // Rare: the library picks the replacements, as it always has.
    out.resize(begin);
    out += json(std::string(text)).dump(-1, ' ', false, json::error_handler_t::replace);
}

void appendMember(std::string& out, std::string_view key, std::string_view value) {
    appendString(out, key);
    out += ':';
    appendString(out, value);
}

void appendMessages(std::string& out, const std::vector<Message>& messages) {
    out += '[';
    for (const Message& message : messages) {
        if (out.back() != '[') out += ',';
        out += '{';
        for (const auto& [key, value] : message) {
            if (out.back() != '{') out += ',';
            appendMember(out, key, value);
        }
        out += '}';
    }
    out += ']';
}

} // namespace

// Keys in nlohmann's order (sorted), so the bytes match a dump of the whole document.
std::string encodeSession(const std::string& key, const Session& session) {
    std::string out;
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
    appendMessages(out, session.messages);
    out += ",\"started\":" + json(session.started).dump() + ',';
    appendMember(out, "title", session.title);
    out += '}';
    return out;
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

std::string encodeSessions(const Sessions& sessions) {
    std::vector<EncodedSession> members;
    for (const auto& [key, session] : sessions)
        members.push_back(std::make_shared<const std::string>(encodeSession(key, session)));
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

} // namespace pavix
