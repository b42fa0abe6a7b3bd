#include "platform/SignIn.h"

#include "util/Files.h"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace pavix {

// Claude Code on Linux keeps its credentials in a file of its configuration folder.
bool hasClaudeCredentials() {
    const char* configDir = std::getenv("CLAUDE_CONFIG_DIR");
    std::filesystem::path folder = configDir != nullptr && *configDir != '\0'
                                       ? std::filesystem::path(configDir)
                                       : homeFolder() / ".claude";
    struct stat info {};
    return ::stat((folder / ".credentials.json").c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace pavix
