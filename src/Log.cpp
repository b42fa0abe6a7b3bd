#include "Log.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace pavix {

std::string logLine(std::string_view message) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "[%Y-%m-%dT%H:%M:%SZ] ", &utc);
    std::string line(stamp);
    line.append(message);
    line.push_back('\n');
    return line;
}

void log(std::string_view message) {
    std::string line = logLine(message);
    std::string_view rest = line;
    // A closed or full standard error has nowhere to report to: the line is dropped.
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

} // namespace pavix
