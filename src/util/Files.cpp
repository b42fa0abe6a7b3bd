#include "util/Files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

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

std::optional<std::string> readFile(const fs::path& path, std::size_t spare) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    // Room for it all at once: growing by doubling would hold two copies at times.
    if (struct stat info{}; ::fstat(fd, &info) == 0 && info.st_size > 0)
        bytes.reserve(static_cast<std::size_t>(info.st_size) + spare);
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
    return writeAll(fd, std::span(&bytes, 1));
}

bool writeAll(int fd, std::span<const std::string_view> parts) {
    std::vector<iovec> pending;
    pending.reserve(parts.size());
    for (std::string_view part : parts)
        if (!part.empty()) pending.push_back({const_cast<char*>(part.data()), part.size()});
    std::size_t first = 0;
    while (first < pending.size()) {
        int count = static_cast<int>(std::min<std::size_t>(pending.size() - first, IOV_MAX));
        ssize_t n = ::writev(fd, &pending[first], count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) { // never for files and pipes; it would spin forever
            errno = EIO;
            return false;
        }
        // Skips the parts written whole, then what was written of the next one.
        auto written = static_cast<std::size_t>(n);
        while (first < pending.size() && written >= pending[first].iov_len)
            written -= pending[first++].iov_len;
        if (written > 0) {
            pending[first].iov_base = static_cast<char*>(pending[first].iov_base) + written;
            pending[first].iov_len -= written;
        }
    }
    return true;
}

static std::string temporaryPrefix(const fs::path& path) {
    // Appended, not "." + name + ".": g++ 12 at -O3 takes the latter for an overlapping copy.
    std::string prefix = ".";
    prefix += path.filename().string();
    prefix += '.';
    return prefix;
}

Status writeFileAtomically(const fs::path& path, std::string_view bytes, unsigned mode) {
    return writeFileAtomically(path, std::span(&bytes, 1), mode);
}

Status writeFileAtomically(const fs::path& path, std::span<const std::string_view> parts,
                           unsigned mode) {
    std::string pattern = path.parent_path() / (temporaryPrefix(path) + "XXXXXX");
    // mkostemp creates the file 0600, so nobody else can read it while it fills.
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return systemError(path, errno);
    auto fail = [&](int code) {
        if (fd >= 0) ::close(fd);
        ::unlink(pattern.c_str());
        return systemError(path, code);
    };
    if (!writeAll(fd, parts)) return fail(errno);
    if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return fail(errno);
    if (::fsync(fd) != 0) return fail(errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(errno);
    if (::rename(pattern.c_str(), path.c_str()) != 0) return fail(errno);
    // The rename itself reaches the disk only with its folder: until then a power loss
    // could bring back the old file after the caller was told the new one is written.
    if (int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
        ::fsync(folder); // some file systems cannot sync folders; the file is in place anyway
        ::close(folder);
    }
    return done();
}

void removeLeftoverTemporaries(const fs::path& path) {
    const std::string prefix = temporaryPrefix(path);
    std::error_code ec;
    for (fs::directory_iterator it(path.parent_path(), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

std::string utcNow(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &utc));
}

std::optional<fs::path> setAside(const fs::path& path, bool move) {
    fs::path target = path;
    target += ".corrupt-" + utcNow("%Y%m%dT%H%M%SZ");
    std::error_code ec;
    if (move) {
        fs::rename(path, target, ec);
    } else if (fs::copy_file(path, target, fs::copy_options::overwrite_existing, ec); ec) {
        std::error_code ignored;
        fs::remove(target, ignored); // a partial copy (a full disk) would pass for the original
    }
    if (ec) return std::nullopt;
    return target;
}

} // namespace pavix
