#include "platform/ExecutablePath.h"

namespace pavix {

namespace fs = std::filesystem;

namespace {
const char* argumentZero = nullptr;
} // namespace

void recordArgumentZero(const char* argument) {
    argumentZero = argument;
}

fs::path executablePath() {
    std::error_code ec;
    if (auto reported = systemExecutablePath()) {
        fs::path resolved = fs::canonical(*reported, ec);
        if (!ec) return resolved;
    }
    if (!argumentZero || !*argumentZero) return {};
    fs::path resolved = fs::canonical(argumentZero, ec);
    if (!ec) return resolved;
    // Not there as a path from here (e.g. found through PATH): the best we can say.
    fs::path absolute = fs::absolute(argumentZero, ec);
    return ec ? fs::path() : absolute.lexically_normal();
}

} // namespace pavix
