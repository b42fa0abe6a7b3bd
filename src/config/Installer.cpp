#include "config/Installer.h"

#include "config/BridgeConfig.h"
#include "platform/ExecutablePath.h"
#include "platform/LoginItem.h"
#include "util/Files.h"

#include <cerrno>
#include <sys/stat.h>

namespace pavix::Installer {

namespace fs = std::filesystem;

namespace {

fs::path logFile() {
    return homeFolder() / "Library/Logs/pavix-bridge.log";
}

// Written beside the target and renamed over it: a failed copy leaves the old one in
// place for the login item, and a copy that is running is replaced, never rewritten.
Status copyExecutable(const fs::path& from, const fs::path& to) {
    struct stat info {};
    if (::stat(from.c_str(), &info) != 0) return systemError(from, errno);
    auto bytes = readFile(from);
    if (!bytes) return Error{from.string() + ": can't be read"};
    return writeFileAtomically(to, *bytes, info.st_mode & 0777);
}

} // namespace

fs::path currentBinary() {
    return executablePath();
}

fs::path installedBinary() {
    return configFolder() / "pavix-bridge";
}

Status install() {
    if (auto config = BridgeConfig::loadOrCreate(); !config) return config.error();
    const fs::path running = currentBinary();
    const fs::path installed = installedBinary();
    if (running.string() != installed.string())
        if (auto copied = copyExecutable(running, installed); !copied) return copied;
    // The service manager opens the log but does not make its folder.
    std::error_code ec;
    fs::create_directories(logFile().parent_path(), ec);
    if (ec) return Error{logFile().parent_path().string() + ": " + ec.message()};
    return LoginItem::install(installed, logFile());
}

void uninstall() {
    LoginItem::uninstall();
}

} // namespace pavix::Installer
