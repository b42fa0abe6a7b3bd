#include "config/ClaudeLocator.h"

#include "config/ClaudeInstallation.h"
#include "config/VersionOrder.h"
#include "platform/RunTool.h"
#include "platform/SignIn.h"
#include "util/Files.h"
#include "util/Text.h"

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pavix::ClaudeLocator {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error))
        names.push_back(entries->path().filename().string());
    if (error) names.clear();
    return names;
}

} // namespace

// Symbolic links are followed for the test; a folder, even a searchable one, is no program.
bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<fs::path> binary() {
    if (const char* chosen = std::getenv("PAVIX_CLAUDE_PATH"); chosen && isExecutableFile(chosen))
        return fs::path(chosen);

    const fs::path home = homeFolder();
    const fs::path versions = home / "Library/Application Support/Claude/claude-code";
    std::vector<std::string> names = namesIn(versions);
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return compareVersionNames(a, b) < 0;
    });
    for (std::size_t i = names.size(); i-- > 0;) { // newest first
        fs::path candidate = versions / (names[i] + "/claude.app/Contents/MacOS/claude");
        if (isExecutableFile(candidate)) return candidate;
    }

    for (const fs::path& candidate :
         {home / ".local/bin/claude", home / ".claude/local/claude",
          fs::path("/opt/homebrew/bin/claude"), fs::path("/usr/local/bin/claude")})
        if (isExecutableFile(candidate)) return candidate;
    return std::nullopt;
}

std::optional<std::string> version(const fs::path& binary, std::chrono::milliseconds limit) {
    auto output = captureOutput(binary, {"--version"}, limit);
    if (!output || !isValidUTF8(*output)) return std::nullopt;
    // Only spaces separate words here: a bare "1.2.3\n" keeps its line feed.
    std::size_t start = output->find_first_not_of(' ');
    if (start == std::string::npos) return std::nullopt;
    return output->substr(start, output->find(' ', start) - start);
}

bool isSignedIn() {
    return hasClaudeCredentials();
}

} // namespace pavix::ClaudeLocator

namespace pavix {

ClaudeInstallation ClaudeInstallation::locate(std::chrono::milliseconds limit) {
    ClaudeInstallation found;
    found.binary = ClaudeLocator::binary();
    if (found.binary) found.version = ClaudeLocator::version(*found.binary, limit);
    return found;
}

} // namespace pavix
