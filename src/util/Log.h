#pragma once

#include <string>
#include <string_view>

namespace pavix {

/// "[" + UTC time with whole seconds + "] " + message + "\n", e.g. "[2026-12-05T23:44:13Z] x\n".
std::string logLine(std::string_view message);

/// Writes logLine(message) to standard error in one write. Never fails.
void log(std::string_view message);

} // namespace pavix
