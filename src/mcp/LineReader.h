#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pavix {

/// Cuts the bytes it is given into lines. A line ends at LF; the LF and one CR right before
/// it are dropped, so CR LF endings read the same. Text after the last LF still makes a line
/// once the input has ended. A line longer than `maxLineBytes` (its line end not counted) is
/// dropped whole, as it arrives: no more than about that much is ever held.
class LineReader {
public:
    static constexpr std::size_t maxLineBytes = 4 << 20;

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
    bool skipping_ = false; // the bytes up to the next LF belong to a line being dropped
};

} // namespace pavix
