#pragma once

namespace pavix {

/// Takes one pending connection off the non-blocking listening socket `listener`: its
/// descriptor, close-on-exec and non-blocking, or -1 with errno set (EAGAIN when none
/// is pending).
int acceptConnection(int listener);

} // namespace pavix
