#include "util/FileWorker.h"

#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>

#include <exception>

namespace pavix {

FileWorker::FileWorker(asio::any_io_executor executor)
    : executor_(std::move(executor)) {}

FileWorker::~FileWorker() {
    if (thread_) thread_->join(); // without stop(), join() first runs every queued job
}

void FileWorker::post(std::function<Status()> job, std::function<void(Status)> done) {
    // One thread keeps the jobs in order; a service that never writes never starts it.
    if (!thread_) thread_ = std::make_unique<asio::thread_pool>(1);
    auto busy = asio::prefer(executor_, asio::execution::outstanding_work.tracked);
    asio::post(*thread_, [job = std::move(job), done = std::move(done), busy,
                          alive = std::weak_ptr(alive_)]() mutable {
        // An escaping exception would end the whole process on this thread.
        auto outcome = [&]() -> Status {
            try {
                return job();
            } catch (const std::exception& e) {
                return Error{e.what()};
            }
        }();
        asio::post(busy, [done = std::move(done), outcome = std::move(outcome), alive] {
            if (alive.lock()) done(outcome);
        });
    });
}

} // namespace pavix
