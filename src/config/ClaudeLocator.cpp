#include "config/ClaudeLocator.h"

namespace pavix::ClaudeLocator {

std::optional<std::filesystem::path> binary() { return std::nullopt; }

std::optional<std::string> version(const std::filesystem::path&, std::chrono::milliseconds) {
    return std::nullopt;
}

bool isSignedIn() { return false; }

} // namespace pavix::ClaudeLocator
