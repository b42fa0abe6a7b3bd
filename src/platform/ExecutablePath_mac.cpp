#include "platform/ExecutablePath.h"

#include <climits>
#include <cstdint>
#include <mach-o/dyld.h>
#include <vector>

namespace pavix {

std::optional<std::filesystem::path> systemExecutablePath() {
    std::vector<char> buffer(PATH_MAX);
    auto size = static_cast<std::uint32_t>(buffer.size());
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        // Too small: size now holds what it needs.
        buffer.resize(size);
        if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;
    }
    return std::filesystem::path(buffer.data());
}

} // namespace pavix
