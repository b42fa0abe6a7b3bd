#pragma once

#include "http/EventSource.h"
#include "run/EventLog.h"

#include <memory>

namespace pavix {

/// A run's events as an event-stream response sends them.
class RunEventSource : public EventSource {
public:
    explicit RunEventSource(std::shared_ptr<EventLog::Reader> reader)
        : reader_(std::move(reader)) {}
    asio::awaitable<std::string_view> next(std::size_t maxBytes) override {
        return reader_->next(maxBytes);
    }
    void cancel() override { reader_->cancel(); }

private:
    std::shared_ptr<EventLog::Reader> reader_;
};

} // namespace pavix
