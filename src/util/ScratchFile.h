#pragma once

#include "util/Result.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace pavix {

/// Room on disk for data the process would rather not keep in memory. The file is created
/// with mode 0600 in a folder of ours and its name removed at once, so it takes no name,
/// and nothing is left behind however the process ends; it lives while this object does.
class ScratchFile {
public:
    static Result<std::shared_ptr<ScratchFile>> create(const std::filesystem::path& folder);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    /// Appends `bytes`; the offset where they start.
    Result<std::uint64_t> append(std::string_view bytes);
    /// Up to `size` bytes from `offset` (fewer at the end, none on a read error).
    std::string read(std::uint64_t offset, std::size_t size) const;
    std::uint64_t size() const { return size_; }

private:
    ScratchFile(int fd, std::filesystem::path path)
        : fd_(fd)
        , path_(std::move(path)) {}
    int fd_;
    std::filesystem::path path_;
    std::uint64_t size_ = 0;
};

} // namespace pavix
