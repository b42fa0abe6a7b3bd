#include "platform/LoginItem.h"

#include "platform/LoginItemFiles.h"
#include "platform/RunTool.h"
#include "util/Files.h"

#include <string>

namespace pavix::LoginItem {

namespace fs = std::filesystem;

namespace {

fs::path unitPath() {
    return homeFolder() / ".config/systemd/user" / systemdUnitName;
}

void systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "--user");
    runTool("systemctl", arguments);
}

} // namespace

Status install(const fs::path& executable, const fs::path& logFile) {
    const fs::path unit = unitPath();
    std::error_code ec;
    fs::create_directories(unit.parent_path(), ec);
    if (ec) return Error{unit.parent_path().string() + ": " + ec.message()};
    if (auto written = writeFileAtomically(unit, systemdUnit(executable, logFile), 0644); !written)
        return written;
    systemctl({"daemon-reload"});
    systemctl({"enable", std::string(systemdUnitName)});
    // restart, not start: a service already running must pick up the new executable.
    systemctl({"restart", std::string(systemdUnitName)});
    return done();
}

void uninstall() {
    systemctl({"disable", "--now", std::string(systemdUnitName)});
    std::error_code ec;
    fs::remove(unitPath(), ec);
    systemctl({"daemon-reload"});
}

} // namespace pavix::LoginItem
