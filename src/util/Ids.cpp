#include "util/Ids.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

namespace pavix {

Result<std::string> randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    // getentropy hands out at most 256 bytes per call.
    for (std::size_t at = 0; at < count; at += 256) {
        std::size_t n = std::min<std::size_t>(256, count - at);
        if (::getentropy(bytes.data() + at, n) != 0)
            return Error{std::string("the system's random generator failed: ") +
                         std::strerror(errno)};
    }
    return bytes;
}

std::string newUUID() {
    auto random = randomBytes(16);
    std::string bytes;
    if (random) {
        bytes = std::move(random.value());
    } else {
        // Identifiers need uniqueness, not secrecy: fall back to a seeded engine.
        static std::mt19937_64 engine{std::random_device{}()};
        for (int i = 0; i < 16; ++i)
            bytes.push_back(static_cast<char>(engine()));
    }
    bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80);
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        auto byte = static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::string newRunId() {
    std::string hex;
    for (char c : newUUID())
        if (c != '-') hex.push_back(c);
    return "run_" + hex.substr(0, 20);
}

std::string newSessionId() {
    return "pavix-" + newUUID();
}

} // namespace pavix
