#include "util/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pavix {

namespace fs = std::filesystem;

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

fs::path configFolder() {
    return homeFolder() / "Library/Application Support/pavix";
}

Error systemError(const fs::path& path, int code) {
    return Error{path.string() + ": " + std::strerror(code)};
}

std::optional<std::string> readFile(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return bytes;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

Status writeFileAtomically(const fs::path& path, std::string_view bytes, unsigned mode) {
    std::string pattern = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX"));
    // mkostemp creates the file 0600, so nobody else can read it while it fills.
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return systemError(path, errno);
    auto fail = [&](int code) {
        ::close(fd);
        ::unlink(pattern.c_str());
        return systemError(path, code);
    };
    if (!writeAll(fd, bytes)) return fail(errno);
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        int code = errno;
        ::unlink(pattern.c_str());
        return systemError(path, code);
    }
    if (::rename(pattern.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(pattern.c_str());
        return systemError(path, code);
    }
    return done();
}

std::string fileTimestamp() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::optional<fs::path> setAside(const fs::path& path, bool move) {
    fs::path target = path;
    target += ".corrupt-" + fileTimestamp();
    std::error_code ec;
    if (move)
        fs::rename(path, target, ec);
    else
        fs::copy_file(path, target, fs::copy_options::overwrite_existing, ec);
    if (ec) return std::nullopt;
    return target;
}

} // namespace pavix
