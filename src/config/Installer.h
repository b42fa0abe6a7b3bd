#pragma once

#include "util/Result.h"

#include <filesystem>

namespace pavix {

/// The login item that starts the installed copy of the service at login.
namespace Installer {

/// The running executable, symbolic links resolved.
std::filesystem::path currentBinary();
/// "Library/Application Support/pavix/pavix-bridge" under the home folder.
std::filesystem::path installedBinary();
/// Copies the executable into the configuration folder and registers the login item.
Status install();
/// Unregisters the login item; never fails.
void uninstall();

} // namespace Installer
} // namespace pavix
