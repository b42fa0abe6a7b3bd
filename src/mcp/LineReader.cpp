#include "mcp/LineReader.h"

#include <algorithm>

namespace pavix {

void LineReader::append(std::string_view bytes) {
    // Consumed lines are dropped only when new bytes come, so reading many lines out of one
    // chunk moves no memory.
    buffer_.erase(0, start_);
    searched_ -= start_;
    start_ = 0;
    buffer_.append(bytes);
}

std::optional<std::string> LineReader::next() {
    std::size_t end = buffer_.find('\n', searched_);
    if (end == std::string::npos) {
        searched_ = buffer_.size();
        if (!ended_ || start_ == buffer_.size()) return std::nullopt;
        end = buffer_.size();
    }
    std::string line = buffer_.substr(start_, end - start_);
    start_ = searched_ = std::min(end + 1, buffer_.size());
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

} // namespace pavix
