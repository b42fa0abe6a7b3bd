// Feeds arbitrary bytes to the output translator as Claude Code's standard output, cut
// into chunks at points taken from the bytes themselves, and checks what the run relies
// on: the same output cut anywhere tells the same, and what the transcript checks. The
// events then go through an event log, read from every resume point in batches of every
// size, in memory and (for some inputs) from a file: the frames always join up to the log's
// whole stream.
#include "TranslatorTranscript.h"
#include "http/EventStreaming.h"
#include "run/EventLog.h"
#include "util/FileWorker.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <filesystem>

using namespace pavix;

namespace {

std::string frame(const Event& event) {
    std::string text = "data: ";
    if (event.kind == EventKind::messageDelta)
        text.append(deltaJSONHead).append(event.text).append(deltaJSONTail);
    else
        text += event.text;
    return text + "\n\n";
}

// Reads everything after `after` in batches of `maxBytes` and checks it against `whole`.
asio::awaitable<void> readAll(std::shared_ptr<EventLog> log, std::size_t after,
                              std::size_t maxBytes, std::string expected) {
    auto reader = std::make_shared<EventFrames>(log->read(after), false);
    std::string got;
    for (;;) {
        std::string_view bytes = co_await reader->next(maxBytes);
        if (bytes.empty()) break;
        got += bytes;
    }
    check(got == expected);
}

void checkLog(asio::io_context& loop, FileWorker& worker, const std::vector<Event>& events,
              std::size_t seed) {
    auto log = std::make_shared<EventLog>(loop.get_executor());
    std::vector<std::string> frames;
    for (const Event& event : events) {
        if (event.kind == EventKind::messageDelta)
            log->appendDelta(event.text);
        else
            log->append(event);
        frames.push_back(frame(event));
    }
    log->close();
    // From a file for one input in 64: the file and the worker's round trip cost several
    // times all the rest.
    for (int inFile = 0; inFile < (seed % 64 == 0 ? 2 : 1); ++inFile) {
        if (inFile) {
            auto file = ScratchFile::create(std::filesystem::temp_directory_path());
            check(file.ok());
            bool moved = false;
            log->moveTo(*file, worker, [&](Status outcome) { moved = outcome.ok(); });
            loop.restart();
            loop.run();
            check(moved && !log->inMemory());
        }
        for (std::size_t after = 0; after <= events.size(); after += 1 + seed % 7) {
            std::string expected;
            for (std::size_t i = after; i < frames.size(); ++i)
                expected += frames[i];
            asio::co_spawn(loop, readAll(log, after, 1 + (seed + after) % 300, expected),
                           asio::detached);
        }
        loop.restart();
        loop.run();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Transcript whole = translate(bytes, false);
    // What the texts must be is checked once: equal transcripts tell equal texts.
    Transcript pieces = translate(bytes, true, OutputTranslator::Reading::fastPath, false);
    check(whole.heard == pieces.heard);
    // One loop and one file thread for all inputs: starting a thread per input took most of
    // the time.
    static asio::io_context loop;
    static FileWorker worker(loop.get_executor());
    checkLog(loop, worker, whole.events, size);
    return 0;
}
