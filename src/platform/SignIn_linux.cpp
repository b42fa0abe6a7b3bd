#include "platform/SignIn.h"

#include "util/Files.h"

#include <filesystem>
#include <sys/stat.h>

namespace pavix {

// Claude Code on Linux keeps its credentials in a file of its configuration folder. The
// service's own CLAUDE_CONFIG_DIR is not looked at: runs never see it (every CLAUDE*
// variable is left out of their environment), so they read ~/.claude, and so does this.
bool hasClaudeCredentials() {
    struct stat info {};
    const std::filesystem::path file = homeFolder() / ".claude" / ".credentials.json";
    return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace pavix
