#pragma once

#include "bridge/Session.h"
#include "util/Async.h"
#include "util/FileWorker.h"

#include <boost/asio/any_completion_handler.hpp>
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace pavix {

/// Writes the sessions file `file` from `parts` (see sessionsFileParts) so that it is whole
/// and on disk once it returns; runs on the store's worker thread.
using SessionsWriter = std::function<Status(const std::filesystem::path& file,
                                            std::span<const std::string_view> parts)>;

/// The stored conversations, kept in memory and written to one file after changes.
/// Loop-affine: use it only on the Bridge's event loop. The writes run on a worker thread,
/// one at a time: changes made while one is under way are written together by the next,
/// from each session's encoded text. That text alone holds a session's messages: a change
/// re-encodes its session from the old text, and the messages are never decoded.
class SessionStore {
public:
    /// Loads `file`. A missing file gives an empty store. A present file that cannot be read
    /// or decoded also gives an empty store, but is first renamed to
    /// "<file>.corrupt-<UTC time>" (logged once), so no save can replace it. Temporary files
    /// of saves that a killed process left behind are removed.
    /// New sessions work in `project` when something exists there, else in "workspace"
    /// beside `file`. Writes go through `writer`, by default an atomic write (mode 0600).
    SessionStore(asio::any_io_executor executor, std::filesystem::path file,
                 std::optional<std::string> project, SessionsWriter writer = {});

    /// "bridge-sessions.json" in the configuration folder.
    static std::filesystem::path defaultFile();

    const StoredSession* find(const std::string& id) const;
    /// A seam for tests, which compare the file with all the store holds.
    const StoredSessions& allForTests() const { return sessions_; }

    /// The working folder for a new session; creates the workspace when it is the one.
    std::string defaultProject() const;

    /// Summaries (see sessionJSON), latest `lastActive` first; equal times keep id order.
    nlohmann::json summaries() const;

    /// The session `id` (a new session id when empty): left unchanged when stored, else
    /// created with `title` ("task" when absent) cut to 80 characters, working in `folder`
    /// (else defaultProject()), and saved.
    /// Returns the id. Like every change below, it is in memory at once and on disk once
    /// `saved()` completes.
    std::string create(std::string id, std::optional<std::string> title,
                       std::optional<std::string> folder = std::nullopt);

    /// Removes the session if it exists, and saves (when it did not exist, only to catch up
    /// after a failed save).
    void remove(const std::string& id);

    /// A run's start: the session `id`, created when missing (titled with the first 80
    /// characters of `prompt`, working in `folder`, else defaultProject()), gets the user
    /// message `prompt` and a new `lastActive`; saved. Returns a copy of the session as it
    /// now stands.
    StoredSession addPrompt(const std::string& id, const std::string& prompt,
                            std::optional<std::string> folder = std::nullopt);

    /// Claude Code's own session id for resuming.
    void setClaudeSessionId(const std::string& id, std::string claudeSessionId);

    /// Stores a finished run's reply: nothing when `reply` is empty; else a session that
    /// still exists gets the assistant message, keeps its last 200 messages and a new
    /// `lastActive`; then saves.
    void addReply(const std::string& id, const std::string& reply);

    /// Completes once every change made before it was awaited has been written, or the
    /// write that held it has failed. A failure leaves the file as it was and is not
    /// reported to the caller (the store stays authoritative: the next write writes it
    /// all). The first failure after a success is logged, and so is the first success
    /// after failures.
    asio::awaitable<void> saved();

private:
    void load();
    /// A new session `id`, titled with `title` cut short, working in `folder` (the default
    /// project when none), started now and without messages.
    StoredSession& addSession(const std::string& id, std::string_view title,
                              std::optional<std::string> folder);
    /// Counts a change and starts a write unless one is under way (whose completion then
    /// starts the next).
    void changed();
    void write();
    void written(std::uint64_t upTo, const Status& outcome);

    asio::any_io_executor executor_;
    std::filesystem::path file_;
    std::optional<std::string> project_;
    SessionsWriter writer_;
    StoredSessions sessions_;
    std::uint64_t changes_ = 0;        ///< changes made so far
    std::uint64_t writtenChanges_ = 0; ///< changes the last finished write held
    bool writing_ = false;
    bool saveFailing_ = false;
    /// Those awaiting `saved()`, each with the count of changes it waits for, in order.
    std::deque<std::pair<std::uint64_t, asio::any_completion_handler<void()>>> waiters_;
    FileWorker worker_; ///< last: joined before anything its jobs came from is destroyed
};

} // namespace pavix
