#pragma once

#include "util/Result.h"

#include <filesystem>

namespace pavix::LoginItem {

/// Registers `executable serve` with the user's service manager to run from login and be
/// kept running, its output appended to `logFile`, and (re)starts it now. Fails only when
/// the registration cannot be written; the service manager's own answers are not examined.
Status install(const std::filesystem::path& executable, const std::filesystem::path& logFile);

/// Stops the service and removes its registration; never fails.
void uninstall();

} // namespace pavix::LoginItem
