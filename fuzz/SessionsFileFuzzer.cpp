// Feeds arbitrary bytes to the sessions-file decoder and holds it to the first one (nlohmann's
// parser into whole sessions, then the encoder): both accept the same files; the store
// keeps exactly the bytes the first would have written back, and the same summaries; a
// reply added to the kept text (with the cut to the last messages) gives the bytes of
// adding it to the whole session; and what is saved decodes to itself.
#include "bridge/Session.h"
#include "util/Json.h"
#include "util/Text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace pavix;
using nlohmann::json;

namespace {

// One session as the first decoder read it: every member there with its type, or none.
std::optional<Session> decodeSession(const json& object) {
    if (!object.is_object()) return std::nullopt;
    for (const char* key : {"id", "title", "cwd", "started", "lastActive", "messages"})
        if (!object.contains(key)) return std::nullopt;
    const json& messages = object.at("messages");
    auto id = object.find("claudeSessionId");
    if (!object.at("id").is_string() || !object.at("title").is_string() ||
        !object.at("cwd").is_string() || !object.at("started").is_number() ||
        !object.at("lastActive").is_number() || !messages.is_array() ||
        (id != object.end() && !id->is_null() && !id->is_string()))
        return std::nullopt;
    for (const json& message : messages)
        if (!message.is_object() ||
            !std::all_of(message.begin(), message.end(), [](auto& v) { return v.is_string(); }))
            return std::nullopt;
    auto text = [&](const char* key) { return object.at(key).get<std::string>(); };
    std::optional<std::string> claudeId;
    if (id != object.end() && !id->is_null()) claudeId = id->get<std::string>();
    return Session{{text("id"), text("title"), claudeId, text("cwd"),
                    object.at("started").get<double>(), object.at("lastActive").get<double>()},
                   messages.get<std::vector<Message>>()};
}

// The first decoder, with the nesting bound the file now shares with requests.
std::optional<Sessions> firstDecoder(const std::string& bytes) {
    bool tooDeep = false;
    json document = json::parse(
        bytes,
        [&](int depth, json::parse_event_t, json&) {
            tooDeep = tooDeep || depth > maximumNesting;
            return true;
        },
        false);
    if (tooDeep || !document.is_object()) return std::nullopt;
    Sessions sessions;
    for (const auto& [key, value] : document.items()) {
        auto session = decodeSession(value);
        if (!session) return std::nullopt;
        sessions.emplace(key, std::move(*session));
    }
    return sessions;
}

bool sameSummary(const StoredSession& stored, const Session& session) {
    std::string preview;
    if (!session.messages.empty() && session.messages[0].contains("content"))
        preview = firstGraphemes(session.messages[0].at("content"), 160);
    return stored.id == session.id && stored.title == session.title &&
           stored.claudeSessionId == session.claudeSessionId && stored.cwd == session.cwd &&
           stored.messageCount == session.messages.size() && stored.preview == preview &&
           stored.messagesJSON() == json(session.messages).dump();
}

void check(bool holds) {
    if (!holds) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    auto first = firstDecoder(bytes);
    auto stored = decodeSessions(bytes);
    check(first.has_value() == stored.has_value());
    if (!stored) return 0;
    const std::string saved = encodeSessions(*stored);
    check(saved == encodeSessions(*first));
    for (const auto& [key, session] : *stored)
        check(sameSummary(session, first->at(key)));
    auto again = decodeSessions(saved);
    check(again && encodeSessions(*again) == saved);

    for (auto& [key, session] : *stored) {
        Session& whole = first->at(key);
        const std::string reply = "a\x01\"\\/\xC3\xA9 " + key;
        appendMessage(key, session, "assistant", reply, 2);
        whole.messages.push_back({{"content", reply}, {"role", "assistant"}});
        while (whole.messages.size() > 2)
            whole.messages.erase(whole.messages.begin());
        check(*session.encoded == encodeSession(key, whole) && sameSummary(session, whole));
    }
    return 0;
}
