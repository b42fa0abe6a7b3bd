#include "run/EventLog.h"

#include "util/Json.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <new>
#include <sys/mman.h>

namespace pavix {

namespace {

constexpr std::size_t blockSize = 64 << 10;
// A reader starting mid-log (a phone picking its stream up again) finds the nearest
// checkpoint, then walks at most this many entries: 8 bytes of index per 256 events keep a
// run of a million deltas' index at 32 KiB.
constexpr std::size_t checkpointEvery = 256;
constexpr std::size_t maxHeader = 10;

// An entry: varint(payload size × 2 + 1 if it is a delta), then the payload.
std::size_t writeHeader(char* out, std::uint64_t value) {
    std::size_t length = 0;
    for (; value >= 0x80; value >>= 7)
        out[length++] = static_cast<char>(value | 0x80);
    out[length++] = static_cast<char>(value);
    return length;
}

struct Header {
    bool isDelta;
    std::uint64_t payload; ///< the payload's size
    std::size_t length;    ///< the header's own size
};

std::optional<Header> headerAt(std::string_view bytes) {
    std::uint64_t value = 0;
    for (std::size_t at = 0; at < bytes.size() && at < maxHeader; ++at) {
        auto byte = static_cast<unsigned char>(bytes[at]);
        value |= std::uint64_t(byte & 0x7F) << (7 * at);
        if (!(byte & 0x80)) return Header{(value & 1) != 0, value >> 1, at + 1};
    }
    return std::nullopt;
}

struct Entry {
    bool isDelta;
    std::string_view payload;
    std::size_t size; ///< header and payload
};

// The entry at the start of `bytes`, or nothing when `bytes` does not hold all of it.
std::optional<Entry> entryAt(std::string_view bytes) {
    auto header = headerAt(bytes);
    if (!header || header->payload > bytes.size() - header->length) return std::nullopt;
    auto size = static_cast<std::size_t>(header->payload);
    return Entry{header->isDelta, bytes.substr(header->length, size), header->length + size};
}

// Blocks are mapped, not allocated: a log moved to a file or dropped gives its memory back
// to the system at once, instead of leaving it to the allocator's free lists.
struct Unmap {
    std::size_t size;
    void operator()(char* data) const { ::munmap(data, size); }
};

std::unique_ptr<char, Unmap> mapBlock(std::size_t size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    return std::unique_ptr<char, Unmap>(static_cast<char*>(data), Unmap{size});
}

} // namespace

struct EventLog::Block {
    std::unique_ptr<char, Unmap> data;
    std::size_t capacity;
    std::size_t used = 0;
    std::uint64_t start; ///< where the block's first byte sits among all entries
};

EventLog::EventLog(asio::any_io_executor executor)
    : executor_(std::move(executor)) {}

EventLog::~EventLog() = default;

void EventLog::appendDelta(std::string_view escapedText) {
    add(true, escapedText);
}

void EventLog::append(const Event& event) {
    add(false, event.text);
}

void EventLog::add(bool isDelta, std::string_view payload) {
    char header[maxHeader];
    const std::size_t headerLength =
        writeHeader(header, std::uint64_t(payload.size()) * 2 + (isDelta ? 1 : 0));
    const std::size_t size = headerLength + payload.size();
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < size) {
        std::size_t capacity = std::max(blockSize, size);
        blocks_.push_back(Block{mapBlock(capacity), capacity, 0, end_});
    }
    Block& block = blocks_.back();
    char* at = std::copy(header, header + headerLength, block.data.get() + block.used);
    std::copy(payload.begin(), payload.end(), at);
    if (count_ % checkpointEvery == 0) checkpoints_.push_back(end_);
    block.used += size;
    end_ += size;
    ++count_;
    wakeReaders();
}

void EventLog::close() {
    if (closed_) return;
    closed_ = true;
    closedAt_ = count_;
    wakeReaders();
}

void EventLog::wakeReaders() {
    for (Reader* reader : std::exchange(waiting_, {}))
        reader->wake_.cancel();
}

std::size_t EventLog::memoryBytes() const {
    std::size_t bytes = checkpoints_.capacity() * sizeof(std::uint64_t);
    for (const Block& block : blocks_)
        bytes += block.capacity;
    return bytes;
}

void EventLog::moveTo(std::shared_ptr<ScratchFile> file, FileWorker& worker,
                      std::function<void(Status)> onMoved) {
    if (!closed_ || !inMemory()) return onMoved(Error{"only a closed log in memory can be moved"});
    moving_ = true;
    auto copy = [self = shared_from_this(), file] {
        for (const Block& block : self->blocks_)
            if (auto written = file->append(std::string_view(block.data.get(), block.used));
                !written)
                return Status(written.error());
        return done();
    };
    auto adopt = [self = shared_from_this(), file, onMoved = std::move(onMoved)](Status outcome) {
        self->moving_ = false;
        if (outcome) {
            self->file_ = file;
            self->blocks_.clear();
            self->blocks_.shrink_to_fit();
        }
        onMoved(std::move(outcome));
    };
    worker.post(std::move(copy), std::move(adopt));
}

std::string EventLog::deltaText() const {
    std::string text, scratch;
    for (std::uint64_t position = 0; position < end_;) {
        std::string_view entries = entriesAt(position, blockSize, scratch);
        for (auto entry = entryAt(entries); entry; entry = entryAt(entries)) {
            if (entry->isDelta) appendUnescaped(text, entry->payload);
            entries.remove_prefix(entry->size);
            position += entry->size;
        }
    }
    return text;
}

std::uint64_t EventLog::positionOf(std::size_t event) const {
    if (event >= count_) return end_;
    std::uint64_t position = checkpoints_[event / checkpointEvery];
    std::string scratch;
    for (std::size_t skip = event % checkpointEvery; skip > 0; --skip)
        position += entryAt(entriesAt(position, 1, scratch))->size;
    return position;
}

std::string_view EventLog::entriesAt(std::uint64_t position, std::size_t wanted,
                                     std::string& scratch) const {
    if (position >= end_) return {};
    if (!file_) {
        auto block =
            std::upper_bound(blocks_.begin(), blocks_.end(), position,
                             [](std::uint64_t at, const Block& b) { return at < b.start; });
        --block;
        return std::string_view(block->data.get(), block->used).substr(position - block->start);
    }
    // From the file: enough for `wanted`, then more if the first entry is larger.
    auto readAt = [&](std::size_t size) {
        scratch = file_->read(
            position, static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - position)));
    };
    readAt(std::max(wanted, maxHeader));
    auto header = headerAt(scratch);
    if (header && header->length + header->payload > scratch.size())
        readAt(header->length + static_cast<std::size_t>(header->payload));
    return scratch;
}

std::shared_ptr<EventLog::Reader> EventLog::read(std::size_t after) {
    return std::make_shared<Reader>(shared_from_this(), std::min(after, count_));
}

EventLog::Reader::Reader(std::shared_ptr<EventLog> log, std::size_t after)
    : log_(std::move(log))
    , nextEvent_(after)
    , position_(log_->positionOf(after))
    , live_(!log_->closed_)
    , wake_(log_->executor_) {}

std::size_t EventLog::Reader::end() const {
    return live_ && log_->closed_ ? log_->closedAt_ : log_->count_;
}

asio::awaitable<EventSource::Wait>
EventLog::Reader::wait(std::optional<std::chrono::milliseconds> idle) {
    ready_ = {};
    while (!cancelled_) {
        if (nextEvent_ < end()) co_return Wait::ready;
        if (log_->closed_) break;
        log_->waiting_.push_back(this);
        if (idle)
            wake_.expires_after(*idle);
        else
            wake_.expires_at(asio::steady_timer::time_point::max());
        auto [error] = co_await wake_.async_wait(asio::as_tuple(asio::use_awaitable));
        std::erase(log_->waiting_, this);
        if (!error && !cancelled_) co_return Wait::idle;
    }
    co_return Wait::ended;
}

void EventLog::Reader::visit(std::size_t wantedBytes,
                             const std::function<bool(const Event&)>& each) {
    if (ready_.empty()) ready_ = log_->entriesAt(position_, wantedBytes, scratch_);
    std::string_view rest = ready_;
    const std::size_t last = end();
    for (std::size_t number = nextEvent_ + 1; number <= last; ++number) {
        auto entry = entryAt(rest);
        if (!entry) break;
        const Event event = entry->isDelta
                                ? Event{number, deltaJSONHead, entry->payload, deltaJSONTail}
                                : Event{number, entry->payload, {}, {}};
        if (!each(event)) break;
        rest.remove_prefix(entry->size);
    }
}

void EventLog::Reader::advance(std::size_t count) {
    for (; count > 0 && nextEvent_ < end(); --count) {
        auto entry = entryAt(ready_);
        if (!entry) entry = entryAt(ready_ = log_->entriesAt(position_, 1, scratch_));
        if (!entry) break;
        ready_.remove_prefix(entry->size);
        position_ += entry->size;
        ++nextEvent_;
    }
    ready_ = {};
    // Many readers may be waiting on their writes at once: each holds its frames only.
    std::string().swap(scratch_);
}

std::size_t EventLog::Reader::heldBytes() const {
    return scratch_.capacity() > std::string().capacity() ? scratch_.capacity() : 0;
}

void EventLog::Reader::cancel() {
    cancelled_ = true;
    wake_.cancel();
}

} // namespace pavix
