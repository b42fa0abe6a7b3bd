#pragma once

#include <filesystem>
#include <string>

namespace pavix::test {

/// Writes an executable /bin/sh script with `body` to `folder`/`name`.
std::filesystem::path writeScript(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& body);

/// How many descriptors this process has open.
int openDescriptorCount();

} // namespace pavix::test
