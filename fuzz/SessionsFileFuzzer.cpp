// Feeds arbitrary bytes to the sessions-file decoder and checks that sessions it accepts
// are saved as a file that decodes to the same sessions, so a save never turns a good
// file into one the next start would set aside; and that the file's bytes are exactly a
// dump of the whole document, as the first versions wrote it.
#include "bridge/Session.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace pavix;
using nlohmann::json;

namespace {

std::string dumpDocument(const Sessions& sessions) {
    json document = json::object();
    for (const auto& [key, session] : sessions) {
        json& object = document[key] = {{"id", session.id},
                                        {"title", session.title},
                                        {"cwd", session.cwd},
                                        {"started", session.started},
                                        {"lastActive", session.lastActive},
                                        {"messages", session.messages}};
        if (session.claudeSessionId) object["claudeSessionId"] = *session.claudeSessionId;
    }
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto sessions = decodeSessions(std::string(reinterpret_cast<const char*>(data), size));
    if (!sessions) return 0;
    std::string saved = encodeSessions(*sessions);
    if (saved != dumpDocument(*sessions)) std::abort();
    auto again = decodeSessions(saved);
    if (!again || *again != *sessions || encodeSessions(*again) != saved) std::abort();
    return 0;
}
