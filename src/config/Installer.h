#pragma once

#include "util/Result.h"

#include <filesystem>

namespace pavix {

/// The login item that starts the installed copy of the service at login.
namespace Installer {

/// The running executable, symbolic links resolved (see executablePath()).
std::filesystem::path currentBinary();
/// "Library/Application Support/pavix/pavix-bridge" under the home folder.
std::filesystem::path installedBinary();
/// Makes sure the configuration exists, copies the running executable to installedBinary()
/// unless it is that copy, and registers the copy as a login item that runs `serve` and is
/// restarted now. Fails with the first step that failed; an older copy stays usable then.
Status install();
/// Stops and unregisters the login item; never fails. The installed executable, the
/// configuration, the conversations and the log stay.
void uninstall();

} // namespace Installer
} // namespace pavix
