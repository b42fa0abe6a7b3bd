#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// Cuts the bytes it is given into lines. A line ends at LF; the LF and one CR right before
/// it are dropped, so CR LF endings read the same. Text after the last LF still makes a line
/// once the input has ended.
class LineReader {
public:
    void append(std::string_view bytes);
    /// No more bytes will come.
    void end() { ended_ = true; }
    /// The next complete line, or nothing until more bytes (or the end) arrive.
    std::optional<std::string> next();

private:
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line begins in buffer_
    std::size_t searched_ = 0; // buffer_ holds no LF between start_ and here
    bool ended_ = false;
};

} // namespace pavix
