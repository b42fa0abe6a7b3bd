#include "util/Log.h"

#include "util/Files.h"

#include <unistd.h>

namespace pavix {

std::string logLine(std::string_view message) {
    std::string line = utcNow("[%Y-%m-%dT%H:%M:%SZ] ");
    line.append(message);
    line.push_back('\n');
    return line;
}

void log(std::string_view message) {
    // A closed or full standard error has nowhere to report to: the line is dropped.
    writeAll(STDERR_FILENO, logLine(message));
}

} // namespace pavix
