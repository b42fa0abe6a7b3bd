#pragma once

// Shared by the bench agent and the forwarder, which stay free of the service's library so
// the baselines measure only the hop itself.

#include <cerrno>
#include <cstddef>
#include <unistd.h>

inline bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= std::size_t(written);
    }
    return true;
}
