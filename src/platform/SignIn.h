#pragma once

namespace pavix {

/// Whether Claude Code's credentials exist for this user: its keychain item on macOS,
/// its credentials file on Linux. The credentials themselves are never read.
bool hasClaudeCredentials();

} // namespace pavix
