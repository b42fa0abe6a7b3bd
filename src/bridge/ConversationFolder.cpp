#include "bridge/ConversationFolder.h"

#include "util/Text.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace pavix {

namespace fs = std::filesystem;

Result<std::optional<std::string>> conversationFolder(const nlohmann::json& body,
                                                      const StoredSession* stored) {
    auto member = body.find("folder");
    if (member == body.end()) return std::optional<std::string>();
    const Error unusable{"folder must be the absolute path of an existing folder"};
    if (!member->is_string()) return unusable;
    const auto& text = member->get_ref<const std::string&>();
    // A NUL would end the path early for the system, which would then check another folder.
    if (text.find('\0') != std::string::npos || !fs::path(text).is_absolute()) return unusable;
    std::error_code error;
    if (!fs::is_directory(text, error)) return unusable;
    // Resolved once, here: the conversation keeps this folder even when a link is later
    // pointed elsewhere, so Claude Code always resumes where the conversation began.
    fs::path resolved = fs::canonical(text, error);
    if (error || !isValidUTF8(resolved.native())) return unusable;
    if (stored && !fs::equivalent(resolved, stored->cwd, error))
        return Error{"a conversation's folder is fixed when it is created"};
    return std::optional<std::string>(resolved.string());
}

} // namespace pavix
