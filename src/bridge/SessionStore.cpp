#include "bridge/SessionStore.h"

#include "Log.h"
#include "util/Files.h"
#include "util/Ids.h"
#include "util/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace pavix {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::size_t titleLimit = 80;
constexpr std::size_t messageLimit = 200;

} // namespace

SessionStore::SessionStore(fs::path file, std::optional<std::string> project)
    : file_(std::move(file))
    , project_(std::move(project)) {
    load();
}

fs::path SessionStore::defaultFile() {
    return configFolder() / "bridge-sessions.json";
}

void SessionStore::load() {
    removeLeftoverTemporaries(file_);
    std::error_code ec;
    auto bytes = readFile(file_);
    if (!bytes && !fs::exists(fs::symlink_status(file_, ec))) return; // a first start
    if (bytes) {
        if (auto sessions = decodeSessions(*bytes)) {
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

void SessionStore::save() {
    auto written = writeFileAtomically(file_, encodeSessions(sessions_), 0600);
    // One line per change of state, not one per request while a disk stays full.
    if (!written && !saveFailing_)
        log("couldn't save the sessions (kept in memory until a save works): " +
            written.error().description);
    else if (written && saveFailing_)
        log("sessions saved again");
    saveFailing_ = !written;
}

const Session* SessionStore::find(const std::string& id) const {
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
    std::vector<const Session*> order;
    order.reserve(sessions_.size());
    for (const auto& [id, session] : sessions_)
        order.push_back(&session);
    std::stable_sort(order.begin(), order.end(), [](const Session* a, const Session* b) {
        return a->lastActive > b->lastActive;
    });
    json list = json::array();
    for (const Session* session : order)
        list.push_back(sessionJSON(*session));
    return list;
}

std::string SessionStore::create(std::string id, std::optional<std::string> title) {
    if (id.empty()) id = newSessionId();
    if (sessions_.contains(id)) return id;
    Session session;
    session.id = id;
    session.title = firstGraphemes(title.value_or("task"), titleLimit);
    session.cwd = defaultProject();
    session.started = session.lastActive = referenceNow();
    sessions_.emplace(id, std::move(session));
    save();
    return id;
}

void SessionStore::remove(const std::string& id) {
    sessions_.erase(id);
    save();
}

Session SessionStore::addPrompt(const std::string& id, const std::string& prompt) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) {
        Session session;
        session.id = id;
        session.title = firstGraphemes(prompt, titleLimit);
        session.cwd = defaultProject();
        session.started = referenceNow();
        it = sessions_.emplace(id, std::move(session)).first;
    }
    Session& session = it->second;
    session.lastActive = referenceNow();
    session.messages.push_back({{"role", "user"}, {"content", prompt}});
    save();
    return session;
}

void SessionStore::setClaudeSessionId(const std::string& id, std::string claudeSessionId) {
    if (auto it = sessions_.find(id); it != sessions_.end())
        it->second.claudeSessionId = std::move(claudeSessionId);
    save();
}

void SessionStore::addReply(const std::string& id, const std::string& reply) {
    if (reply.empty()) return;
    if (auto it = sessions_.find(id); it != sessions_.end()) {
        auto& messages = it->second.messages;
        messages.push_back({{"role", "assistant"}, {"content", reply}});
        if (messages.size() > messageLimit)
            messages.erase(messages.begin(),
                           messages.begin() +
                               static_cast<std::ptrdiff_t>(messages.size() - messageLimit));
        it->second.lastActive = referenceNow();
    }
    save();
}

} // namespace pavix
