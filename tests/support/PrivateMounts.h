#pragma once

#include "util/Result.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <vector>

namespace pavix::test {

/// A mount namespace of the calling thread's own with every mount private, for putting a
/// small tmpfs over a folder: processes started from this thread while it lives see it,
/// nothing outside does. The destructor detaches the mounts and returns the thread to its
/// namespace and working folder. Needs root.
class PrivateMounts {
public:
    /// The namespace entered, or why it could not be (containers may forbid mounts).
    static Result<std::unique_ptr<PrivateMounts>> create();
    ~PrivateMounts();
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    /// An empty tmpfs of `bytes` over `folder`.
    Status mountTmpfs(const std::filesystem::path& folder, std::size_t bytes);

private:
    PrivateMounts() = default;

    int previousNamespace_ = -1;
    int previousFolder_ = -1;
    std::vector<std::filesystem::path> mounted_;
};

} // namespace pavix::test
