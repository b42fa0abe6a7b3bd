// The run's hot path without the process: Claude Code's text-delta lines cut from 64 KiB
// chunks, translated, appended to an event log, and read as frames by 0 or 10 readers.
// One iteration is 1,000 lines; figures are per line.

#include "http/EventStreaming.h"
#include "run/EventLog.h"
#include "run/OutputTranslator.h"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <string>
#include <vector>

namespace {

using namespace pavix;

constexpr int linesPerRun = 1000;

std::string deltaLines() {
    std::string lines;
    for (int i = 0; i < linesPerRun; ++i)
        lines += R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
                 R"("delta":{"type":"text_delta","text":"0000001234567890123 xxxxxxxxxxxx"}},)"
                 R"("session_id":"5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41","parent_tool_use_id":null,)"
                 R"("uuid":"0b8e6f2d-3c4a-4e1f-8b7d-9a2c5e6f1d30"})"
                 "\n";
    return lines;
}

struct ToLog : OutputListener {
    std::shared_ptr<EventLog> log;
    std::string output;
    void delta(std::string_view escaped, std::string_view text) override {
        output += text;
        log->appendDelta(escaped);
    }
    void event(Event event) override { log->append(event); }
    void session(std::string_view) override {}
    void result(TurnResult) override {}
};

asio::awaitable<void> drain(std::shared_ptr<EventFrames> reader) {
    // Not `while (!(co_await ...).empty())`: g++ 12 miscompiles a co_await in a larger
    // expression (the bench died of SIGILL).
    for (;;) {
        std::string_view bytes = co_await reader->next(262'144);
        if (bytes.empty()) break;
    }
}

void translateDeltas(benchmark::State& state) {
    const std::string lines = deltaLines();
    const auto readers = std::size_t(state.range(0));
    asio::io_context loop;
    for (auto _ : state) {
        ToLog sink;
        sink.log = std::make_shared<EventLog>(loop.get_executor());
        OutputTranslator translator(sink);
        for (std::size_t i = 0; i < readers; ++i)
            asio::co_spawn(loop, drain(std::make_shared<EventFrames>(sink.log->read(0), false)),
                           asio::detached);
        for (std::size_t at = 0; at < lines.size(); at += 65536) {
            translator.consume(std::string_view(lines).substr(at, 65536));
            loop.poll();
        }
        sink.log->close();
        loop.run();
        loop.restart();
        benchmark::DoNotOptimize(sink.output);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * linesPerRun);
}
BENCHMARK(translateDeltas)->Arg(0)->Arg(10);

} // namespace
