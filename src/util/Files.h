#pragma once

#include "util/Result.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pavix {

/// The user's home folder: $HOME, or the password database's entry when HOME is unset.
std::filesystem::path homeFolder();

/// "Library/Application Support/pavix" under the home folder.
std::filesystem::path configFolder();

/// The whole file, or nothing when it cannot be read. Its capacity leaves `spare` bytes
/// beyond it (for a parser that reads past the end).
std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t spare = 0);

/// Replaces `path` with `bytes` so that readers see the old file or the whole new one:
/// a temporary file in the same folder, created with `mode` from its first byte,
/// flushed to disk, then renamed over the target (the folder flushed too). On failure
/// the target is as it was and no temporary file is left.
Status writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                           unsigned mode = 0600);
/// As above, with the new content given as `parts` written one after another.
Status writeFileAtomically(const std::filesystem::path& path,
                           std::span<const std::string_view> parts, unsigned mode = 0600);

/// Removes the temporary files that writeFileAtomically(`path`) leaves when its process
/// dies mid-write. Only for a file that no other process writes at the same time.
void removeLeftoverTemporaries(const std::filesystem::path& path);

/// Writes all of `bytes` to `fd`, retrying short and interrupted writes. False (errno set)
/// when the descriptor refuses them.
bool writeAll(int fd, std::string_view bytes);
/// As above, for `parts` one after another, gathered into as few writes as the system takes.
bool writeAll(int fd, std::span<const std::string_view> parts);

/// The current UTC time in strftime's `format`, e.g. "%Y%m%dT%H%M%SZ" for 20261206T203000Z.
std::string utcNow(const char* format);

/// Keeps an undecodable file for the user: `path` + ".corrupt-" + timestamp.
/// With `move` the original is renamed away, otherwise copied. Returns the new path, or
/// nothing when the file could not be kept (then no partial copy is left either).
std::optional<std::filesystem::path> setAside(const std::filesystem::path& path, bool move);

/// "<path>: <reason>" for the errno value `code`.
Error systemError(const std::filesystem::path& path, int code);

} // namespace pavix
