#pragma once

#include "util/Result.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <vector>

namespace pavix::test {

/// A mount namespace of the calling thread's own, with every mount private (nothing made
/// here shows outside), for putting a small tmpfs or a read-only view over a folder.
/// Processes started from this thread while it lives share the namespace, so they see
/// mounts made and removed later too. The destructor detaches what is still mounted and
/// returns the thread to its namespace and working folder. Needs root (CAP_SYS_ADMIN).
class PrivateMounts {
public:
    /// The namespace entered, or why it could not be.
    static Result<std::unique_ptr<PrivateMounts>> create();
    ~PrivateMounts();
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    /// An empty tmpfs of `bytes` (whole pages) over `folder`.
    Status mountTmpfs(const std::filesystem::path& folder, std::size_t bytes);
    /// `folder` itself, read-only from now on for everyone in the namespace.
    Status makeReadOnly(const std::filesystem::path& folder);
    /// Removes the mount last put over `folder`, at once for every path looked up later.
    Status unmount(const std::filesystem::path& folder);

private:
    PrivateMounts() = default;

    int previousNamespace_ = -1;
    int previousFolder_ = -1;
    std::vector<std::filesystem::path> mounted_;
};

} // namespace pavix::test
