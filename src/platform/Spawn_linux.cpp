#include "platform/Spawn.h"

#include <fcntl.h>
#include <unistd.h>

namespace pavix {

bool openCloseOnExecPipe(int (&ends)[2]) {
    return ::pipe2(ends, O_CLOEXEC) == 0;
}

short closeOthersInChild([[maybe_unused]] posix_spawn_file_actions_t& actions,
                         const std::vector<int>&) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Close-on-exec covers ours; this also covers descriptors a library left inheritable.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    return 0;
}

} // namespace pavix
