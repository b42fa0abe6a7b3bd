#include "http/ChunkedBody.h"

#include <algorithm>

namespace pavix {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::size_t ChunkedBody::feed(std::string_view bytes, std::string& body) {
    std::size_t at = 0;
    while (at < bytes.size() && state_ == State::reading) {
        if (step_ == Step::data) {
            // Chunk data goes over in one piece rather than a byte at a time.
            std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, bytes.size() - at));
            body.append(bytes.substr(at, take));
            at += take;
            remaining_ -= take;
            if (remaining_ == 0) step_ = Step::dataEnd;
            continue;
        }
        if (!step(bytes[at++])) state_ = State::malformed;
    }
    return at;
}

bool ChunkedBody::step(char c) {
    switch (step_) {
    case Step::size:
        if (int digit = hexValue(c); digit >= 0) {
            remaining_ = remaining_ * 16 + static_cast<unsigned>(digit);
            hasDigits_ = true;
            return remaining_ <= largestChunk;
        }
        if (!hasDigits_) return false;
        step_ = c == '\r' ? Step::sizeLineEnd : c == ';' ? Step::extension : Step::sizeSpace;
        return c == '\r' || c == ';' || isBlank(c);
    case Step::sizeSpace:
        step_ = c == '\r' ? Step::sizeLineEnd : c == ';' ? Step::extension : Step::sizeSpace;
        return c == '\r' || c == ';' || isBlank(c);
    case Step::extension:
        if (c == '\r') step_ = Step::sizeLineEnd;
        return c != '\n';
    case Step::sizeLineEnd:
        hasDigits_ = false;
        step_ = remaining_ == 0 ? Step::trailerStart : Step::data;
        return c == '\n';
    case Step::dataEnd:
        step_ = Step::dataLineEnd;
        return c == '\r';
    case Step::dataLineEnd:
        step_ = Step::size;
        return c == '\n';
    case Step::trailerStart:
        step_ = c == '\r' ? Step::lastLineEnd : Step::trailer;
        return c != '\n';
    case Step::trailer:
        if (c == '\r') step_ = Step::trailerEnd;
        return c != '\n';
    case Step::trailerEnd:
        step_ = Step::trailerStart;
        return c == '\n';
    case Step::lastLineEnd:
        if (c == '\n') state_ = State::complete;
        return c == '\n';
    case Step::data:
        break;
    }
    return false;
}

} // namespace pavix
