#pragma once

#include "util/Async.h"

#include <boost/asio/execution_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <memory>
#include <optional>
#include <vector>

namespace pavix {

class ChildProcess;

/// Reaps the children of one event loop: one SIGCHLD watcher shared by all of them,
/// and a look at each live child's own pid (never at any child, so children reaped
/// elsewhere, such as a blocking probe's, are left alone). An ended child is told before it
/// is reaped, and may ask to stay unreaped until it calls `reap` itself.
///
/// Loop affinity: one per execution context (an Asio service); used on its loop only.
/// It holds each watched child until the child is reaped. The SIGCHLD wait is pending
/// only while some child is alive, so a loop with nothing else to do can return.
class ChildReaper : public asio::execution_context::service {
public:
    static asio::execution_context::id id;

    explicit ChildReaper(asio::execution_context& context);

    /// The reaper of `executor`'s context.
    static ChildReaper& of(const asio::any_io_executor& executor);

    /// Installs the SIGCHLD watcher; call it before launching so no exit goes unseen.
    void prepare(const asio::any_io_executor& executor);
    /// Watches `child` until it has been reaped; it may already have exited.
    void watch(std::shared_ptr<ChildProcess> child);
    /// Reaps `child`, which has ended, and lets go of it.
    void reap(std::shared_ptr<ChildProcess> child);

private:
    void shutdown() override;
    void reapExited();
    void arm();

    std::optional<asio::signal_set> signals_;
    std::vector<std::shared_ptr<ChildProcess>> children_;
    bool waiting_ = false;
};

} // namespace pavix
