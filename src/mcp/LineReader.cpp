#include "mcp/LineReader.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace pavix {

std::optional<std::string> LineReader::next() {
    for (;;) {
        std::size_t end = buffer_.find('\n', searched_);
        if (end == std::string::npos && ended_ && start_ < buffer_.size()) end = buffer_.size();
        if (end != std::string::npos) {
            std::string line = buffer_.substr(start_, end - start_);
            start_ = searched_ = std::min(end + 1, buffer_.size());
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (ended_) return std::nullopt;

        buffer_.erase(0, start_);
        start_ = 0;
        searched_ = buffer_.size();
        char chunk[65536];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ended_ = true;
        else
            buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

} // namespace pavix
