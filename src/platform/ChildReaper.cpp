#include "platform/ChildReaper.h"

#include "platform/ChildProcess.h"
#include "platform/Spawn.h"

#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>

namespace pavix {

asio::execution_context::id ChildReaper::id;

ChildReaper::ChildReaper(asio::execution_context& context)
    : asio::execution_context::service(context) {}

ChildReaper& ChildReaper::of(const asio::any_io_executor& executor) {
    return asio::use_service<ChildReaper>(asio::query(executor, asio::execution::context));
}

void ChildReaper::prepare(const asio::any_io_executor& executor) {
    if (signals_) return;
    signals_.emplace(executor, SIGCHLD);
    // Asio installs its handler without SA_RESTART; a child's exit must not make a
    // blocking call elsewhere in the program fail with EINTR.
    struct sigaction action {};
    if (::sigaction(SIGCHLD, nullptr, &action) == 0) {
        action.sa_flags |= SA_RESTART | SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &action, nullptr);
    }
}

void ChildReaper::watch(std::shared_ptr<ChildProcess> child) {
    children_.push_back(std::move(child));
    // The child may have exited before the watcher was armed; its signal is then
    // already queued, but look once anyway.
    reapExited();
    arm();
}

void ChildReaper::reapExited() {
    // The child may report its exit meanwhile; work on a copy.
    auto children = children_;
    for (auto& child : children) {
        // -1 (ECHILD): someone else reaped it; it is gone all the same. A child told before
        // that stays unreaped says so again, until it calls reap() itself.
        std::optional<int> status = endedStatus(child->pid());
        if (status && !child->ended(*status)) reap(child);
    }
}

void ChildReaper::reap(std::shared_ptr<ChildProcess> child) {
    int status = 0;
    while (::waitpid(child->pid(), &status, WNOHANG) < 0 && errno == EINTR) {
    }
    std::erase(children_, child);
    child->reaped();
}

void ChildReaper::arm() {
    if (waiting_ || children_.empty() || !signals_) return;
    waiting_ = true;
    signals_->async_wait([this](const boost::system::error_code& ec, int) {
        waiting_ = false;
        if (ec) return;
        reapExited();
        arm();
    });
}

void ChildReaper::shutdown() {
    signals_.reset();
    children_.clear();
}

} // namespace pavix
