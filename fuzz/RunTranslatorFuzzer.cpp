// Feeds arbitrary bytes to the output translator as Claude Code's standard output, cut
// into chunks at points taken from the bytes themselves, and checks what the run relies
// on: the same output cut anywhere tells the same; each delta's escaped text is exactly
// what the JSON serializer writes for its text; every event is one line of JSON naming
// itself. The events then go through an event log, read from every resume point in
// batches of every size, in memory and from a file: the frames always join up to the
// log's whole stream.
#include "run/EventLog.h"
#include "run/OutputTranslator.h"
#include "util/FileWorker.h"
#include "util/Json.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace pavix;
using nlohmann::json;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Everything the translator said, as text, so two runs can be compared.
struct Transcript : OutputListener {
    std::vector<std::string> heard;
    std::vector<Event> events; ///< in log order; deltas as message.delta events
    std::vector<std::string> escapedDeltas;

    void delta(std::string_view escaped, std::string_view text) override {
        std::string framed;
        appendDeltaJSON(framed, escaped);
        check(framed == compactJSON({{"delta", text}, {"event", "message.delta"}}));
        heard.push_back("delta " + std::string(escaped));
        events.push_back({EventKind::messageDelta, std::string(escaped)});
    }
    void event(Event event) override {
        json parsed = json::parse(event.text, nullptr, false);
        check(event.text.find('\n') == std::string::npos && parsed.is_object() &&
              parsed.value("event", "") == eventName(event.kind));
        parsed.erase("duration"); // a time, different on every reading
        heard.push_back(parsed.dump());
        events.push_back(std::move(event));
    }
    void session(std::string_view id) override { heard.push_back("session " + std::string(id)); }
    void result(TurnResult result) override {
        heard.push_back("result " + result.text + (result.failed ? " failed" : ""));
    }
};

Transcript translate(std::string_view bytes, bool cut) {
    Transcript transcript;
    OutputTranslator translator(transcript);
    for (std::size_t at = 0; at < bytes.size();) {
        auto selector = static_cast<unsigned char>(bytes[at]);
        std::size_t length =
            cut ? std::min<std::size_t>(1 + selector % 97, bytes.size() - at) : bytes.size();
        translator.consume(bytes.substr(at, length));
        at += length;
    }
    return transcript;
}

std::string frame(const Event& event) {
    std::string text = "data: ";
    if (event.kind == EventKind::messageDelta)
        appendDeltaJSON(text, event.text);
    else
        text += event.text;
    return text + "\n\n";
}

// Reads everything after `after` in batches of `maxBytes` and checks it against `whole`.
asio::awaitable<void> readAll(std::shared_ptr<EventLog> log, std::size_t after,
                              std::size_t maxBytes, std::string expected) {
    auto reader = log->read(after, false);
    std::string got;
    for (;;) {
        std::string_view bytes = co_await reader->next(maxBytes);
        if (bytes.empty()) break;
        got += bytes;
    }
    check(got == expected);
}

void checkLog(asio::io_context& loop, const std::vector<Event>& events, std::size_t seed) {
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
    for (int inFile = 0; inFile < 2; ++inFile) {
        if (inFile) {
            auto file = ScratchFile::create(std::filesystem::temp_directory_path());
            check(file.ok());
            FileWorker worker(loop.get_executor());
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
    Transcript pieces = translate(bytes, true);
    check(whole.heard == pieces.heard);
    static asio::io_context loop;
    checkLog(loop, whole.events, size);
    return 0;
}
