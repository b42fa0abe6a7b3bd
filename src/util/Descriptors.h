#pragma once

namespace pavix {

/// Marks `fd` close-on-exec so that no child process inherits it. Best effort.
void setCloseOnExec(int fd);

/// Raises the soft limit on open descriptors to the hard limit (or the most the
/// system takes), so that many connections and runs fit. Best effort, silent.
void raiseDescriptorLimit();

} // namespace pavix
