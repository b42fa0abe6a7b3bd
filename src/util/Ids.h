#pragma once

#include "util/Result.h"

#include <cstddef>
#include <string>

namespace pavix {

/// `count` bytes from the operating system's cryptographic generator.
Result<std::string> randomBytes(std::size_t count);

/// A random (version 4) UUID in lower case, 8-4-4-4-12.
std::string newUUID();

/// "run_" + 20 lower-case hexadecimal digits.
std::string newRunId();

/// "pavix-" + a lower-case UUID.
std::string newSessionId();

} // namespace pavix
