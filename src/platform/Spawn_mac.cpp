#include "platform/Spawn.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pavix {

// No pipe2 here. A spawn on another thread between pipe and fcntl cannot take the ends
// along: every spawn of ours closes all the descriptors it does not name.
bool openCloseOnExecPipe(int (&ends)[2]) {
    if (::pipe(ends) != 0) return false;
    if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0)
        return true;
    int code = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    errno = code;
    return false;
}

short closeOthersInChild(posix_spawn_file_actions_t& actions, const std::vector<int>& inherited) {
    // One of ours that is closed stays closed: naming it would fail the spawn.
    for (int fd : inherited)
        if (::fcntl(fd, F_GETFD) >= 0) posix_spawn_file_actions_addinherit_np(&actions, fd);
    return POSIX_SPAWN_CLOEXEC_DEFAULT;
}

} // namespace pavix
