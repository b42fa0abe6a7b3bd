#include "http/Accept.h"

#include "util/Descriptors.h"

#include <fcntl.h>
#include <sys/socket.h>

namespace pavix {

// The socket lacks close-on-exec for a moment, but children are spawned only on this
// same thread, never in between.
int acceptConnection(int listener) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return -1;
    setCloseOnExec(fd);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return fd;
}

} // namespace pavix
