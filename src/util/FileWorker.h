#pragma once

#include "util/Async.h"
#include "util/Result.h"

#include <boost/asio/thread_pool.hpp>

#include <functional>
#include <memory>

namespace pavix {

/// Runs file jobs (writes and their flushes to disk) one after another on a thread of its
/// own, so that the loop never waits for a disk. Loop-affine: post from the loop that runs
/// `executor`; each job's outcome comes back there. A job runs on the worker thread and
/// must use only what it owns: immutable data, never the loop's state.
class FileWorker {
public:
    explicit FileWorker(asio::any_io_executor executor);
    /// Waits for the queued jobs to finish (nothing the loop acknowledged is dropped);
    /// their outcomes are then discarded, never delivered.
    ~FileWorker();
    FileWorker(const FileWorker&) = delete;
    FileWorker& operator=(const FileWorker&) = delete;

    /// Queues `job` behind every job posted before it, then calls `done` with its outcome
    /// on the executor. Until then the executor counts as busy: its loop does not run out
    /// of work while a job is pending.
    void post(std::function<Status()> job, std::function<void(Status)> done);

private:
    asio::any_io_executor executor_;
    std::unique_ptr<asio::thread_pool> thread_; ///< started by the first job
    /// Outcomes that arrive after the worker is gone find this expired and are dropped.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);
};

} // namespace pavix
