#pragma once

#include "bridge/Session.h"
#include "util/Async.h"

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace pavix {

/// The stored conversations, kept in memory and written to one file after every change.
/// Loop-affine: use it only on the Bridge's event loop; saves therefore never overlap.
class SessionStore {
public:
    /// Loads `file`. A missing file gives an empty store. A present file that cannot be read
    /// or decoded also gives an empty store, but is first renamed to
    /// "<file>.corrupt-<UTC time>" (logged once), so no save can replace it. Temporary files
    /// of saves that a killed process left behind are removed.
    /// New sessions work in `project` when something exists there, else in "workspace"
    /// beside `file`.
    SessionStore(std::filesystem::path file, std::optional<std::string> project);

    /// "bridge-sessions.json" in the configuration folder.
    static std::filesystem::path defaultFile();

    const Sessions& all() const { return sessions_; }
    const Session* find(const std::string& id) const;

    /// The working folder for a new session; creates the workspace when it is the one.
    std::string defaultProject() const;

    /// Summaries (see sessionJSON), latest `lastActive` first; equal times keep id order.
    nlohmann::json summaries() const;

    /// The session `id` (a new session id when empty): left unchanged when stored, else
    /// created with `title` ("task" when absent) cut to 80 characters, and saved.
    /// Returns the id.
    std::string create(std::string id, std::optional<std::string> title);

    /// Removes the session if it exists, and saves either way.
    void remove(const std::string& id);

    /// A run's start: the session `id`, created when missing (titled with the first 80
    /// characters of `prompt`), gets the user message `prompt` and a new `lastActive`;
    /// saved. Returns a copy of the session as it now stands.
    Session addPrompt(const std::string& id, const std::string& prompt);

    /// Claude Code's own session id for resuming; saved even when the session is gone.
    void setClaudeSessionId(const std::string& id, std::string claudeSessionId);

    /// Stores a finished run's reply: nothing when `reply` is empty; else a session that
    /// still exists gets the assistant message, keeps its last 200 messages and a new
    /// `lastActive`; then saves.
    void addReply(const std::string& id, const std::string& reply);

    /// Writes the whole store; a failure leaves the file as it was and is not reported to
    /// the caller (the store stays authoritative: the next save writes it all). The first
    /// failure after a success is logged, and so is the first success after failures.
    void save();

private:
    void load();

    std::filesystem::path file_;
    std::optional<std::string> project_;
    Sessions sessions_;
    bool saveFailing_ = false;
};

} // namespace pavix
