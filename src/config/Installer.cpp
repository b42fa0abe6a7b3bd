#include "config/Installer.h"

#include "util/files.h"

#include <unistd.h>

namespace pavix::Installer {

std::filesystem::path currentBinary() {
    std::error_code ec;
    auto path = std::filesystem::canonical("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

std::filesystem::path installedBinary() {
    return configFolder() / "pavix-bridge";
}

Status install() {
    return Error{"not available yet"};
}

void uninstall() {}

} // namespace pavix::Installer
