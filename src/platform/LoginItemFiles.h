#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace pavix {

/// The login item's name for launchd, and the property list's name without ".plist".
inline constexpr std::string_view launchAgentLabel = "com.tolvarin.pavix.bridge";
/// The login item's name for systemd.
inline constexpr std::string_view systemdUnitName = "pavix-bridge.service";

/// The LaunchAgent property list that keeps `executable serve` running from login, its
/// output and errors appended to `logFile`; byte for byte what Apple's XML serializer
/// writes for the same dictionary.
std::string launchAgentPlist(const std::filesystem::path& executable,
                             const std::filesystem::path& logFile);

/// The systemd user unit with the same behaviour.
std::string systemdUnit(const std::filesystem::path& executable,
                        const std::filesystem::path& logFile);

} // namespace pavix
