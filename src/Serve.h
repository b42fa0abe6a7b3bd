#pragma once

namespace pavix {

/// The `serve` command: runs the service until the process is ended. Returns only
/// on a start-up failure, with the exit status.
int serve();

} // namespace pavix
