#include "util/Descriptors.h"

#include <climits>
#include <fcntl.h>
#include <sys/resource.h>

namespace pavix {

void setCloseOnExec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    rlim_t wanted = limit.rlim_max;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
#ifdef OPEN_MAX
    // macOS refuses an unlimited soft limit; OPEN_MAX is the most it takes.
    if (wanted > OPEN_MAX) {
        limit.rlim_cur = OPEN_MAX;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

} // namespace pavix
