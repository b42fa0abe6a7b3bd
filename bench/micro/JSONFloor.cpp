// What any translation of an output line costs at least: parsing the line as JSON and
// writing the event it becomes. The translator's own figures read against these.

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <string>

namespace {

const std::string deltaLine =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
    R"("delta":{"type":"text_delta","text":"0000001234567890123 xxxxxxxxxxxx"}},)"
    R"("session_id":"5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41","parent_tool_use_id":null,)"
    R"("uuid":"0b8e6f2d-3c4a-4e1f-8b7d-9a2c5e6f1d30"})";

void parseDeltaLine(benchmark::State& state) {
    for (auto _ : state) {
        auto value = nlohmann::json::parse(deltaLine, nullptr, false);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(deltaLine.size()));
}
BENCHMARK(parseDeltaLine);

// The lexer alone: a SAX pass that builds nothing. The gap to parseDeltaLine is what
// building the tree costs.
struct IgnoreAll : nlohmann::json_sax<nlohmann::json> {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

void scanDeltaLine(benchmark::State& state) {
    IgnoreAll handler;
    for (auto _ : state) {
        bool ok = nlohmann::json::sax_parse(deltaLine, &handler);
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(scanDeltaLine);

void serializeDeltaEvent(benchmark::State& state) {
    const std::string text = "0000001234567890123 xxxxxxxxxxxx";
    for (auto _ : state) {
        nlohmann::json event = {{"event", "message.delta"}, {"delta", text}};
        std::string bytes = event.dump();
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(serializeDeltaEvent);

} // namespace
