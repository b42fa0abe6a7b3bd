#include "util/ScratchFile.h"

#include "util/Files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace pavix {

Result<std::shared_ptr<ScratchFile>> ScratchFile::create(const std::filesystem::path& folder) {
    std::string pattern = folder / "scratch-XXXXXX";
    // mkostemp creates it 0600: nobody else reads what we set aside.
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return systemError(folder, errno);
    ::unlink(pattern.c_str());
    return std::shared_ptr<ScratchFile>(new ScratchFile(fd, pattern));
}

ScratchFile::~ScratchFile() {
    ::close(fd_);
}

Result<std::uint64_t> ScratchFile::append(std::string_view bytes) {
    std::uint64_t at = size_;
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(size_));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return systemError(path_, n < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        size_ += static_cast<std::uint64_t>(n);
    }
    return at;
}

std::string ScratchFile::read(std::uint64_t offset, std::size_t size) const {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::pread(fd_, bytes.data() + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

} // namespace pavix
