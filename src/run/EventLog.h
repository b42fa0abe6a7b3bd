#pragma once

#include "run/RunEvents.h"
#include "util/Async.h"
#include "util/EventSource.h"
#include "util/FileWorker.h"
#include "util/Result.h"
#include "util/ScratchFile.h"

#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pavix {

/// One run's events in order, numbered from 1, for everyone who follows the run.
///
/// A run may stream hundreds of thousands of text deltas and twenty finished runs are
/// kept, so the log is compact: a delta is kept as its escaped text, any other event as
/// its JSON text, each behind its length (a varint of up to 10 bytes), in 64 KiB blocks that
/// are never moved (a long run never needs twice its size while growing). Readers hand out
/// each event's number and text; the stream frames them. A closed log can be moved into a
/// file.
///
/// Loop-affine: the log and its readers are used on the loop that made them.
class EventLog : public std::enable_shared_from_this<EventLog> {
public:
    class Reader;

    explicit EventLog(asio::any_io_executor executor);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    /// Adds a text delta event whose text, escaped for JSON, is `escapedText`.
    void appendDelta(std::string_view escapedText);
    /// Adds any other event.
    void append(const Event& event);
    /// Readers following the run live send what is left, then end. An event added after
    /// this reaches only readers that start later (an approval denied as the run ends).
    void close();

    bool closed() const { return closed_; }
    /// How many events there are; the last one's number.
    std::size_t size() const { return count_; }
    /// The bytes the log holds in memory.
    std::size_t memoryBytes() const;

    /// The text of every text delta event, joined in order: what the reply said so far.
    std::string deltaText() const;

    /// Moves a closed log's events into `file`: `worker` appends them there (a closed log's
    /// blocks no longer change, so the worker may read them), then the log reads them from
    /// the file, releasing their memory, and `onMoved` hears how it went. Until then, and
    /// for good on failure, the log reads from memory.
    void moveTo(std::shared_ptr<ScratchFile> file, FileWorker& worker,
                std::function<void(Status)> onMoved);
    /// False once a move to a file has begun.
    bool inMemory() const { return !moving_ && !file_; }

    /// A reader of the events after the first `after` (0 for all; beyond the end means
    /// from the end).
    std::shared_ptr<Reader> read(std::size_t after);

private:
    struct Block;
    friend class Reader;
    void add(bool isDelta, std::string_view payload);
    void wakeReaders();
    std::uint64_t positionOf(std::size_t event) const;
    /// The entries' bytes from `position` up to at least `wanted` bytes (or the end),
    /// whole entries only; at least one entry when any is left.
    std::string_view entriesAt(std::uint64_t position, std::size_t wanted,
                               std::string& scratch) const;

    asio::any_io_executor executor_;
    std::vector<Block> blocks_;
    std::vector<std::uint64_t> checkpoints_; ///< where every 256th event begins
    std::uint64_t end_ = 0;                  ///< the entries' total size
    std::size_t count_ = 0;
    bool closed_ = false;
    std::size_t closedAt_ = 0; ///< the size when closed
    bool moving_ = false;
    std::shared_ptr<ScratchFile> file_;
    std::vector<Reader*> waiting_;
};

/// One subscriber's place in a log.
class EventLog::Reader : public EventSource {
public:
    Reader(std::shared_ptr<EventLog> log, std::size_t after);

    /// Ended once the log is closed and read to its end; for a reader that started before
    /// the close, at the events there were then.
    asio::awaitable<Wait> wait(std::optional<std::chrono::milliseconds> idle) override;
    void visit(std::size_t wantedBytes, const std::function<bool(const Event&)>& each) override;
    void advance(std::size_t count) override;
    void cancel() override;
    /// What was read from a file for the ready events, until the reader advances past them.
    std::size_t heldBytes() const override;

private:
    friend class EventLog;
    std::size_t end() const;

    std::shared_ptr<EventLog> log_;
    std::size_t nextEvent_;
    std::uint64_t position_;
    bool live_; ///< started before the log was closed
    bool cancelled_ = false;
    asio::steady_timer wake_;
    std::string_view ready_; ///< entries at `position_` handed to the last `visit`
    std::string scratch_;
};

} // namespace pavix
