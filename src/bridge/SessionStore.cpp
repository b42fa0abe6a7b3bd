#include "bridge/SessionStore.h"

#include "util/Files.h"
#include "util/Ids.h"
#include "util/Log.h"
#include "util/Text.h"

#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace pavix {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t titleLimit = 80;
constexpr std::size_t messageLimit = 200;
constexpr std::string_view noMessages[] = {"[]"};

} // namespace

SessionStore::SessionStore(asio::any_io_executor executor, fs::path file,
                           std::optional<std::string> project, SessionsWriter writer)
    : executor_(executor)
    , file_(std::move(file))
    , project_(std::move(project))
    , writer_(std::move(writer))
    , worker_(std::move(executor)) {
    if (!writer_)
        writer_ = [](const fs::path& path, std::span<const std::string_view> parts) {
            return writeFileAtomically(path, parts, 0600);
        };
    load();
}

fs::path SessionStore::defaultFile() {
    return configFolder() / "bridge-sessions.json";
}

void SessionStore::load() {
    removeLeftoverTemporaries(file_);
    std::error_code ec;
    auto bytes = readFile(file_, sessionsFilePadding);
    if (!bytes && !fs::exists(fs::symlink_status(file_, ec))) return; // a first start
    if (bytes) {
        if (auto sessions = decodeSessions(std::move(*bytes))) {
            sessions_ = std::move(*sessions);
            return;
        }
    }
    // The next save would replace the user's conversations: keep them out of its way.
    std::string problem = bytes ? "couldn't be decoded" : "couldn't be read";
    if (auto kept = setAside(file_, /*move=*/true))
        log("sessions file " + problem + "; kept as " + kept->string());
    else
        log("sessions file " + problem + " and couldn't be set aside: " + file_.string());
}

void SessionStore::changed() {
    ++changes_;
    if (!writing_) write();
}

void SessionStore::write() {
    std::vector<EncodedSession> members;
    members.reserve(sessions_.size());
    for (const auto& [id, session] : sessions_)
        members.push_back(session.encoded);
    writing_ = true;
    worker_.post(
        [writer = writer_, file = file_, members = std::move(members)] {
            return writer(file, sessionsFileParts(members));
        },
        [this, upTo = changes_](Status outcome) { written(upTo, outcome); });
}

void SessionStore::written(std::uint64_t upTo, const Status& outcome) {
    // One line per change of state, not one per write while a disk stays full.
    if (!outcome && !saveFailing_)
        log("couldn't save the sessions (kept in memory until a save works): " +
            outcome.error().description);
    else if (outcome && saveFailing_)
        log("sessions saved again");
    saveFailing_ = !outcome;
    writing_ = false;
    writtenChanges_ = upTo;
    // Posted, not called: a waiter resumed here could change the store mid-loop.
    while (!waiters_.empty() && waiters_.front().first <= upTo) {
        asio::post(executor_, std::move(waiters_.front().second));
        waiters_.pop_front();
    }
    if (changes_ > upTo) write();
}

asio::awaitable<void> SessionStore::saved() {
    if (writtenChanges_ >= changes_) co_return;
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this](asio::any_completion_handler<void()> handler) {
            waiters_.emplace_back(changes_, std::move(handler));
        },
        asio::use_awaitable);
}

const StoredSession* SessionStore::find(const std::string& id) const {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : &it->second;
}

std::string SessionStore::defaultProject() const {
    std::error_code ec;
    if (project_ && fs::exists(*project_, ec)) return *project_;
    fs::path workspace = file_.parent_path() / "workspace";
    fs::create_directories(workspace, ec);
    return workspace.string();
}

json SessionStore::summaries() const {
    std::vector<const StoredSession*> order;
    order.reserve(sessions_.size());
    for (const auto& [id, session] : sessions_)
        order.push_back(&session);
    std::stable_sort(order.begin(), order.end(),
                     [](const StoredSession* a, const StoredSession* b) {
                         return a->lastActive > b->lastActive;
                     });
    json list = json::array();
    for (const StoredSession* session : order)
        list.push_back(sessionJSON(*session));
    return list;
}

std::string SessionStore::create(std::string id, std::optional<std::string> title,
                                 std::optional<std::string> folder) {
    if (id.empty()) id = newSessionId();
    if (sessions_.contains(id)) return id;
    addSession(id, title.value_or("task"), std::move(folder));
    changed();
    return id;
}

StoredSession& SessionStore::addSession(const std::string& id, std::string_view title,
                                        std::optional<std::string> folder) {
    StoredSession& session = sessions_[id];
    session.id = id;
    session.title = firstGraphemes(title, titleLimit);
    session.cwd = folder ? std::move(*folder) : defaultProject();
    session.started = session.lastActive = referenceNow();
    encodeStoredSession(id, session, noMessages, 0, true);
    return session;
}

void SessionStore::remove(const std::string& id) {
    if (sessions_.erase(id) > 0 || saveFailing_) changed();
}

StoredSession SessionStore::addPrompt(const std::string& id, const std::string& prompt,
                                      std::optional<std::string> folder) {
    auto it = sessions_.find(id);
    StoredSession& session =
        it != sessions_.end() ? it->second : addSession(id, prompt, std::move(folder));
    session.lastActive = referenceNow();
    appendMessage(id, session, "user", prompt);
    changed();
    return session;
}

void SessionStore::setClaudeSessionId(const std::string& id, std::string claudeSessionId) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    StoredSession& session = it->second;
    session.claudeSessionId = std::move(claudeSessionId);
    const std::string_view messages[] = {session.messagesJSON()};
    encodeStoredSession(id, session, messages, session.messageCount, false);
    changed();
}

void SessionStore::addReply(const std::string& id, const std::string& reply) {
    if (reply.empty()) return;
    if (auto it = sessions_.find(id); it != sessions_.end()) {
        it->second.lastActive = referenceNow();
        appendMessage(id, it->second, "assistant", reply, messageLimit);
        changed();
    }
}

} // namespace pavix
