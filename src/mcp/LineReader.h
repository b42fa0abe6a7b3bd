#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pavix {

/// Blocking reader of the lines a descriptor delivers. A line ends at LF; the LF and one CR
/// right before it are dropped, so CR LF endings read the same. Text after the last LF still
/// makes a line at end of input.
class LineReader {
public:
    explicit LineReader(int fd)
        : fd_(fd) {}

    /// The next line, or nothing once the input has ended (or cannot be read) and every line
    /// has been returned.
    std::optional<std::string> next();

private:
    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins in buffer_
    std::size_t searched_ = 0; // buffer_ holds no LF between start_ and here
    bool ended_ = false;
};

} // namespace pavix
