#pragma once

#include "run/ClaudeRun.h"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace pavix {

/// Reaches a run's insides: a run without a process, fed Claude Code's output directly.
struct ClaudeRunProbe {
    /// A run that has "sent" `options.prompt` but has no process behind it.
    static std::shared_ptr<ClaudeRun> make(asio::any_io_executor executor,
                                           ClaudeRun::Options options = {}) {
        std::shared_ptr<ClaudeRun> run(new ClaudeRun(executor, std::move(options)));
        run->sendUserMessage(run->options_.prompt);
        return run;
    }
    static void output(ClaudeRun& run, std::string_view chunk) { run.consume(chunk); }
    static void errors(ClaudeRun& run, std::string_view chunk) { run.consumeErrors(chunk); }
    static void ended(ClaudeRun& run, int status) { run.processEnded(status); }
    static std::size_t subscriberCount(const ClaudeRun& run) { return run.subscribers_.size(); }
    /// Memory held for the output line not yet complete.
    static std::size_t lineMemory(const ClaudeRun& run) { return run.buffer_.capacity(); }
    static std::vector<std::string> log(const ClaudeRun& run) {
        std::vector<std::string> texts;
        for (const auto& text : run.events_)
            texts.push_back(*text);
        return texts;
    }
};

namespace test {

/// What one subscription delivered.
struct Received {
    std::vector<std::string> texts;
    bool ended = false;
    std::vector<nlohmann::json> events() const;
    std::vector<std::string> names() const;
};

/// Drains `reader` into the returned record until the stream ends.
std::shared_ptr<Received> collect(asio::any_io_executor executor, EventReader reader);

/// Names of the events in `texts`.
std::vector<std::string> eventNames(const std::vector<std::string>& texts);

} // namespace test
} // namespace pavix
