#pragma once

namespace pavix::platform {

/// Whether Claude Code's credentials exist for this user: its keychain item on macOS,
/// its credentials file on Linux. The credentials themselves are never read.
bool isSignedIn();

} // namespace pavix::platform
