#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pavix {

/// A chunked request body decoded as its bytes arrive, each byte looked at once, so a
/// body sent a byte at a time costs what one sent whole does. Chunk extensions and
/// trailer fields are skipped; line ends must be CR LF.
class ChunkedBody {
public:
    enum class State { reading, complete, malformed };

    /// Appends the chunk data found in `bytes` to `body`; returns how many of the bytes
    /// belong to the body (all of them unless it ended or turned out malformed among them).
    std::size_t feed(std::string_view bytes, std::string& body);
    State state() const { return state_; }

    /// A chunk size beyond this can never fit in a request: malformed at once, so the
    /// size cannot overflow either.
    static constexpr std::uint64_t largestChunk = 1ULL << 40;

private:
    enum class Step {
        size,         // hex digits
        sizeSpace,    // blanks between the size and ";"
        extension,    // skipped up to the line's end
        sizeLineEnd,  // the LF after the size line's CR
        data,         // `remaining_` bytes of chunk data
        dataEnd,      // the CR after the data
        dataLineEnd,  // the LF after it
        trailerStart, // a trailer line, or the CR of the blank line that ends the body
        trailer,      // skipped up to the line's end
        trailerEnd,   // the LF after a trailer line's CR
        lastLineEnd,  // the LF of the blank line
    };
    bool step(char c);

    Step step_ = Step::size;
    State state_ = State::reading;
    std::uint64_t remaining_ = 0;
    bool hasDigits_ = false;
};

} // namespace pavix
