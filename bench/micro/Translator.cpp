// The output-line translator: Claude Code's text-delta lines cut from chunks, parsed,
// turned into "message.delta" events, logged and queued for 0 or 10 subscribers.
// One iteration is a fresh run fed 1,000 lines in 64 KiB chunks; figures are per line.

#include "RunProbe.h"

#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>

#include <string>
#include <vector>

namespace {

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

void translateDeltas(benchmark::State& state) {
    const std::string lines = deltaLines();
    const auto subscribers = std::size_t(state.range(0));
    boost::asio::io_context loop;
    for (auto _ : state) {
        auto run = pavix::ClaudeRunProbe::make(loop.get_executor());
        std::vector<pavix::EventReader> readers;
        for (std::size_t i = 0; i < subscribers; ++i)
            readers.push_back(run->subscribe());
        for (std::size_t at = 0; at < lines.size(); at += 65536)
            pavix::ClaudeRunProbe::output(*run, std::string_view(lines).substr(at, 65536));
        benchmark::DoNotOptimize(run);
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * linesPerRun);
}
BENCHMARK(translateDeltas)->Arg(0)->Arg(10);

} // namespace
