#include "run/ClaudeRun.h"

#include "config/Installer.h"
#include "Log.h"
#include "platform/ChildProcess.h"
#include "run/PendingApproval.h"
#include "util/Files.h"
#include "util/Ids.h"
#include "util/Text.h"

#include <nlohmann/json.hpp>

extern char** environ;

namespace pavix {

namespace {

constexpr std::size_t stderrTailLength = 2000;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The last characters of `text`, counting only as far back as needed: a line feed always
// ends a character, so those after one are counted alike in the whole text and without
// it. Keeps a flood of standard error from costing its whole length again per chunk.
std::string stderrTailOf(std::string_view text) {
    for (std::size_t reach = 4 * stderrTailLength; reach < text.size(); reach *= 4) {
        auto feed = text.rfind('\n', text.size() - reach);
        if (feed == std::string_view::npos) break;
        auto after = text.substr(feed + 1);
        auto tail = lastGraphemes(after, stderrTailLength);
        if (tail.size() < after.size()) return tail;
    }
    return lastGraphemes(text, stderrTailLength);
}

} // namespace

ClaudeRun::ClaudeRun(asio::any_io_executor executor, Options options)
    : executor_(std::move(executor))
    , id_(newRunId())
    , options_(std::move(options)) {}

ClaudeRun::~ClaudeRun() {
    // Nobody can answer any more: release a waiting request and end the streams.
    if (approval_) approval_->answerWith("deny");
    for (auto& [key, writer] : subscribers_)
        writer.finish();
    if (process_) process_->closeInput();
}

bool ClaudeRun::directMode(const BridgeConfig& config) {
    return !config.settings || *config.settings == "direct";
}

std::map<std::string, std::string> ClaudeRun::environment(bool direct) {
    std::map<std::string, std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        auto name = text.substr(0, equals);
        if (startsWith(name, "CLAUDE")) continue;
        if (direct && startsWith(name, "ANTHROPIC_")) continue;
        result.emplace(std::string(name), std::string(text.substr(equals + 1)));
    }
    auto path = result.find("PATH");
    std::string rest = path != result.end() ? path->second : "/usr/bin:/bin:/usr/sbin:/sbin";
    result["PATH"] =
        "/opt/homebrew/bin:/usr/local/bin:" + homeFolder().string() + "/.local/bin:" + rest;
    return result;
}

Result<std::string> ClaudeRun::mcpConfiguration(const std::filesystem::path& command,
                                                std::uint16_t port, const std::string& runId) {
    nlohmann::json server = {
        {"command", command.string()},
        {"args", {"mcp", "--port", std::to_string(port), "--run", runId}},
    };
    nlohmann::json configuration = {{"mcpServers", {{"pavix", server}}}};
    try {
        return configuration.dump();
    } catch (const nlohmann::json::exception&) {
        return Error{"the approval server's path is not UTF-8: " + command.string()};
    }
}

std::vector<std::string> ClaudeRun::arguments(const std::string& mcpConfiguration, bool direct,
                                              const std::optional<std::string>& instructions,
                                              const std::optional<std::string>& resume) {
    std::vector<std::string> list{"-p",
                                  "--input-format",
                                  "stream-json",
                                  "--output-format",
                                  "stream-json",
                                  "--verbose",
                                  "--include-partial-messages",
                                  "--permission-prompt-tool",
                                  "mcp__pavix__approve",
                                  "--mcp-config",
                                  mcpConfiguration};
    if (direct) list.insert(list.end(), {"--setting-sources", "project,local"});
    if (instructions && !instructions->empty())
        list.insert(list.end(), {"--append-system-prompt", *instructions});
    if (resume) list.insert(list.end(), {"--resume", *resume});
    return list;
}

Result<std::shared_ptr<ClaudeRun>> ClaudeRun::start(asio::any_io_executor executor,
                                                    Options options) {
    std::shared_ptr<ClaudeRun> run(new ClaudeRun(executor, std::move(options)));
    const auto& o = run->options_;
    bool direct = directMode(o.config);
    auto command = o.mcpCommand.empty() ? Installer::currentBinary() : o.mcpCommand;
    auto configuration = mcpConfiguration(command, o.config.port, run->id_);
    if (!configuration) return configuration.error();
    ChildSpec spec{
        o.binary,
        arguments(*configuration, direct, o.instructions, o.resume),
        environment(direct),
        o.cwd,
    };
    std::weak_ptr<ClaudeRun> weak = run;
    ChildHandlers handlers{
        [weak](std::string_view chunk) {
            if (auto self = weak.lock()) self->consume(chunk);
        },
        [weak](std::string_view chunk) {
            if (auto self = weak.lock()) self->consumeErrors(chunk);
        },
        [weak](int status) {
            if (auto self = weak.lock()) self->processEnded(status);
        },
    };
    auto process = ChildProcess::spawn(executor, std::move(spec), std::move(handlers));
    if (!process) return process.error();
    run->process_ = std::move(process.value());
    run->sendUserMessage(o.prompt);
    log("run " + run->id_ + " started in " + o.cwd.string() +
        (o.resume ? " resuming " + *o.resume : ""));
    return run;
}

bool ClaudeRun::sendUserMessage(std::string message) {
    nlohmann::json line = {
        {"type", "user"},
        {"message",
         {{"role", "user"}, {"content", {{{"type", "text"}, {"text", std::move(message)}}}}}},
    };
    std::string bytes;
    try {
        bytes = line.dump() + "\n";
    } catch (const nlohmann::json::exception&) {
        return false; // not UTF-8: nothing Claude Code could read
    }
    if (process_ && !process_->write(std::move(bytes))) return false;
    ++openTurns_;
    return true;
}

void ClaudeRun::consumeErrors(std::string_view chunk) {
    // A chunk that splits a character is dropped rather than guessed at.
    if (chunk.empty() || !isValidUTF8(chunk)) return;
    stderrTail_ = stderrTailOf(stderrTail_ + std::string(chunk));
}

} // namespace pavix
