#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

/// One message of a conversation; the service writes {"role", "content"}.
using Message = std::map<std::string, std::string>;

/// What a stored conversation is besides its messages.
/// Times count seconds since 2001-01-01T00:00:00Z, as the sessions file stores them, so a
/// loaded value is written back exactly as it was read. That epoch is Apple's reference
/// date, the one the file has used from the start (a Foundation date's own encoding); the
/// API counts from 1970.
struct SessionFields {
    std::string id;
    std::string title;
    std::optional<std::string> claudeSessionId;
    std::string cwd;
    double started = 0;
    double lastActive = 0;

    bool operator==(const SessionFields&) const = default;
};

/// One stored conversation, whole.
struct Session : SessionFields {
    std::vector<Message> messages;

    bool operator==(const Session&) const = default;
};

using Sessions = std::map<std::string, Session>;

/// Seconds from the Unix epoch to 2001-01-01T00:00:00Z.
inline constexpr double referenceDateOffset = 978307200;

/// Now, in seconds since 2001-01-01T00:00:00Z.
double referenceNow();

/// The last component of a folder path ("workspace" for ".../workspace/").
std::string lastPathComponent(const std::string& path);

/// One session's member of the sessions file, `"<key>":{...}`: compact JSON, keys sorted,
/// invalid UTF-8 replaced (U+FFFD), an absent `claudeSessionId` left out.
std::string encodeSession(const std::string& key, const Session& session);

/// A session's encoded member (see encodeSession), shared as it is until the session changes.
using EncodedSession = std::shared_ptr<const std::string>;

/// What the store keeps of a session: its fields, what its summary shows, and its member of
/// the sessions file, which alone holds the messages (read only when they are asked for).
struct StoredSession : SessionFields {
    std::size_t messageCount = 0;
    std::string preview; ///< the first message's "content", cut to 160 characters
    EncodedSession encoded;
    std::size_t messagesAt = 0, messagesSize = 0; ///< where `encoded` holds the messages

    /// The messages as one JSON array, exactly as the file and the API write them.
    std::string_view messagesJSON() const {
        return std::string_view(*encoded).substr(messagesAt, messagesSize);
    }
};

using StoredSessions = std::map<std::string, StoredSession>;

/// The API's summary: {"id", "title", "preview", "source", "message_count", "started_at",
/// "last_active"}, with times in seconds since 1970.
nlohmann::json sessionJSON(const StoredSession& session);

/// Encodes `session`'s member under `key` again from its fields, its messages being the
/// JSON array made of `messageParts` one after another (`count` messages, each encoded as
/// encodeSession writes it). Its preview is read again when `firstChanged`.
void encodeStoredSession(const std::string& key, StoredSession& session,
                         std::span<const std::string_view> messageParts, std::size_t count,
                         bool firstChanged);

/// Appends the message {"content": `content`, "role": `role`} to the session stored under
/// `key`, then drops its oldest messages beyond the last `keep` (at least 1).
void appendMessage(const std::string& key, StoredSession& session, std::string_view role,
                   std::string_view content, std::size_t keep = SIZE_MAX);

/// Bytes decodeSessions wants beyond the file's end in its capacity, to decode it in place.
inline constexpr std::size_t sessionsFilePadding = 64;

/// The sessions file's content as the store keeps it: all of it, or nothing when any part
/// fails to decode (bad JSON, a missing required key, a value of the wrong type). Each
/// member is encoded as encodeSession writes it, whatever spacing, key order or escapes
/// the file used. Reads `bytes` in place when its capacity leaves the parser's padding.
std::optional<StoredSessions> decodeSessions(std::string bytes);

/// The sessions file made of `members` in key order: its parts, to write one after another.
/// They point into `members` and into constants.
std::vector<std::string_view> sessionsFileParts(const std::vector<EncodedSession>& members);

/// The whole sessions file: the compact JSON document of `sessions`, keys sorted.
std::string encodeSessions(const Sessions& sessions);
std::string encodeSessions(const StoredSessions& sessions);

} // namespace pavix
