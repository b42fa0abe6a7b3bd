#pragma once

#include <nlohmann/json_fwd.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

/// One message of a conversation; the service writes {"role", "content"}.
using Message = std::map<std::string, std::string>;

/// One stored conversation.
/// Times count seconds since 2001-01-01T00:00:00Z, as the sessions file stores them, so a
/// loaded value is written back exactly as it was read.
struct Session {
    std::string id;
    std::string title;
    std::optional<std::string> claudeSessionId;
    std::string cwd;
    double started = 0;
    double lastActive = 0;
    std::vector<Message> messages;

    bool operator==(const Session&) const = default;
};

using Sessions = std::map<std::string, Session>;

/// Seconds from the Unix epoch to 2001-01-01T00:00:00Z.
inline constexpr double referenceDateOffset = 978307200;

/// Now, in seconds since 2001-01-01T00:00:00Z.
double referenceNow();

/// The API's summary: {"id", "title", "preview", "source", "message_count", "started_at",
/// "last_active"}, with times in seconds since 1970.
nlohmann::json sessionJSON(const Session& session);

/// The last component of a folder path ("workspace" for ".../workspace/").
std::string lastPathComponent(const std::string& path);

/// The sessions file's content: all of it, or nothing when any part fails to decode
/// (bad JSON, a missing required key, a value of the wrong type).
std::optional<Sessions> decodeSessions(const std::string& bytes);

/// One session's member of the sessions file, `"<key>":{...}`: compact JSON, keys sorted,
/// invalid UTF-8 replaced (U+FFFD), an absent `claudeSessionId` left out.
std::string encodeSession(const std::string& key, const Session& session);

/// A session's encoded member (see encodeSession), shared as it is until the session changes.
using EncodedSession = std::shared_ptr<const std::string>;

/// The sessions file made of `members` in key order: its parts, to write one after another.
/// They point into `members` and into constants.
std::vector<std::string_view> sessionsFileParts(const std::vector<EncodedSession>& members);

/// The whole sessions file: the compact JSON document of `sessions`, keys sorted.
std::string encodeSessions(const Sessions& sessions);

} // namespace pavix
