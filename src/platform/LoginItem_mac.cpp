#include "platform/LoginItem.h"

#include "platform/LoginItemFiles.h"
#include "platform/RunTool.h"
#include "util/Files.h"

#include <string>
#include <unistd.h>

namespace pavix::LoginItem {

namespace fs = std::filesystem;

namespace {

fs::path plistPath() {
    return homeFolder() / "Library/LaunchAgents" / (std::string(launchAgentLabel) + ".plist");
}

std::string domain() {
    return "gui/" + std::to_string(::getuid());
}

void bootout() {
    runTool("/bin/launchctl", {"bootout", domain() + "/" + std::string(launchAgentLabel)});
}

} // namespace

Status install(const fs::path& executable, const fs::path& logFile) {
    const fs::path plist = plistPath();
    std::error_code ec;
    fs::create_directories(plist.parent_path(), ec);
    if (ec) return Error{plist.parent_path().string() + ": " + ec.message()};
    if (auto written = writeFileAtomically(plist, launchAgentPlist(executable, logFile), 0644);
        !written)
        return written;
    bootout();
    runTool("/bin/launchctl", {"bootstrap", domain(), plist.string()});
    return done();
}

void uninstall() {
    bootout();
    std::error_code ec;
    fs::remove(plistPath(), ec);
}

} // namespace pavix::LoginItem
