#pragma once

#include <filesystem>
#include <optional>

namespace pavix {

/// Keeps the process's argument 0 (which must outlive the process, as argv does) for
/// when the system cannot tell where the executable is. Call once, first thing in main.
void recordArgumentZero(const char* argument);

/// The running executable, symbolic links resolved: what the system reports, else the
/// recorded argument 0 taken as a path from the current folder. Empty when neither works.
std::filesystem::path executablePath();

/// The running executable as the system reports it, links not yet resolved; nothing when
/// the system cannot tell. One definition per platform.
std::optional<std::filesystem::path> systemExecutablePath();

} // namespace pavix
