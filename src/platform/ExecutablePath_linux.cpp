#include "platform/ExecutablePath.h"

namespace pavix {

std::optional<std::filesystem::path> systemExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    return path;
}

} // namespace pavix
