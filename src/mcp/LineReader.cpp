#include "mcp/LineReader.h"

#include <algorithm>

namespace pavix {

void LineReader::append(std::string_view bytes) {
    if (skipping_) {
        std::size_t end = bytes.find('\n');
        if (end == std::string_view::npos) return;
        bytes.remove_prefix(end + 1);
        skipping_ = false;
    }
    // Consumed lines are dropped only when new bytes come, so reading many lines out of one
    // chunk moves no memory.
    buffer_.erase(0, start_);
    searched_ -= start_;
    start_ = 0;
    buffer_.append(bytes);
}

std::optional<std::string> LineReader::next() {
    for (;;) {
        std::size_t end = buffer_.find('\n', searched_);
        if (end == std::string::npos) {
            searched_ = buffer_.size();
            if (buffer_.size() - start_ > maxLineBytes + 1) { // +1: the CR of a CR LF
                // Too long already: what is held goes now, the rest as it comes.
                std::string().swap(buffer_);
                start_ = searched_ = 0;
                skipping_ = !ended_;
                return std::nullopt;
            }
            if (!ended_ || start_ == buffer_.size()) return std::nullopt;
            end = buffer_.size();
        }
        const std::size_t begin = start_;
        start_ = searched_ = std::min(end + 1, buffer_.size());
        std::size_t length = end - begin;
        if (length > 0 && buffer_[end - 1] == '\r') --length;
        if (length <= maxLineBytes) return buffer_.substr(begin, length);
    }
}

} // namespace pavix
