#include "Agent.h"

#include "util/Ids.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

extern char** environ;

namespace fake {

namespace {

int signalPipe[2] = {-1, -1};

void noteSignal(int signal) {
    int saved = errno;
    auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] auto n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // the reader has gone; so be it
        at += static_cast<std::size_t>(n);
    }
}

std::string fromHex(const std::string& hex) {
    std::string bytes, digits;
    for (char c : hex)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string lineText(const json& value) {
    return (value.is_string() ? value.get<std::string>() : dump(value)) + "\n";
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return std::to_string(signal);
    }
}

// The text a user message line carries, or the line itself.
std::string userText(const std::string& line) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_object() && parsed.contains("message") && parsed["message"].is_object()) {
        const json& content = parsed["message"].value("content", json());
        if (content.is_string()) return content.get<std::string>();
        if (content.is_array())
            for (const auto& block : content)
                if (block.is_object() && block.value("type", "") == "text" &&
                    block.contains("text") && block["text"].is_string())
                    return block["text"].get<std::string>();
    }
    return line;
}

// The descriptors this process was started with, the record file aside (Linux only).
json openDescriptors(int except) {
    std::vector<int> listed;
    {
        std::error_code error;
        for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end;
             !error && entry != end; entry.increment(error))
            listed.push_back(std::atoi(entry->path().filename().c_str()));
    }
    std::sort(listed.begin(), listed.end());
    json fds = json::array();
    for (int fd : listed) // the listing's own descriptor is closed by now
        if (fd != except && ::fcntl(fd, F_GETFD) != -1) fds.push_back(fd);
    return fds;
}

void replaceAll(std::string& text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

} // namespace

Agent::Agent(json scenario, std::vector<std::string> arguments)
    : scenario_(std::move(scenario))
    , arguments_(std::move(arguments)) {
    for (std::size_t i = 0; i + 1 < arguments_.size(); ++i) {
        if (arguments_[i] == "--mcp-config" && !mcpConfig_) mcpConfig_ = arguments_[i + 1];
        if (arguments_[i] == "--resume" && !resume_) resume_ = arguments_[i + 1];
    }
    if (scenario_.contains("session_id") && scenario_["session_id"].is_string())
        sessionId_ = scenario_["session_id"].get<std::string>();
    else if (resume_ && !resume_->empty())
        sessionId_ = *resume_;
    else
        sessionId_ = pavix::newUUID();
    char folder[PATH_MAX];
    if (::getcwd(folder, sizeof folder)) cwd_ = folder;
    if (scenario_.contains("record") && scenario_["record"].is_string())
        recordFd_ = ::open(scenario_["record"].get<std::string>().c_str(),
                           O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int Agent::run() {
    json environment = json::object();
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        auto eq = text.find('=');
        if (eq != std::string::npos) environment[text.substr(0, eq)] = text.substr(eq + 1);
    }
    record({{"kind", "start"},
            {"args", arguments_},
            {"cwd", cwd_},
            {"env", environment},
            {"pid", ::getpid()},
            {"fds", openDescriptors(recordFd_)}});
    if (!arguments_.empty() && arguments_[0] == "--version") return answerVersion();
    ::signal(SIGPIPE, SIG_IGN);
    try {
        installSignals();
        conversation();
    } catch (const Exit& exit) {
        return finish(exit.status);
    }
    return finish(0);
}

int Agent::answerVersion() {
    if (scenario_.value("version_hang", false)) {
        for (;;)
            ::pause();
    }
    if (scenario_.contains("version_hex"))
        writeAll(STDOUT_FILENO, fromHex(scenario_["version_hex"].get<std::string>()));
    else
        writeAll(STDOUT_FILENO, scenario_.value("version", std::string("2.1.0 (Claude Code)\n")));
    return scenario_.value("version_exit", 0);
}

void Agent::installSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe failed");
    for (auto [signal, key] : {std::pair{SIGINT, "on_sigint"}, std::pair{SIGTERM, "on_sigterm"}}) {
        const json& how = scenario_.value(key, json("default"));
        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        action.sa_handler = how == json("default") ? SIG_DFL : noteSignal;
        if (!how.is_array() && how != json("default") && how != json("ignore"))
            fail(std::string(key) + " must be \"default\", \"ignore\" or a list of steps");
        ::sigaction(signal, &action, nullptr);
    }
}

void Agent::conversation() {
    runSteps(scenario_.value("start", json::array()));
    if (scenario_.value("mcp_at_start", false)) ensureServer();
    const json defaultTurn =
        json::array({{{"init", true}}, {{"text", "ok"}}, {{"result", {{"result", "ok"}}}}});
    const bool scripted = scenario_.contains("turns") || scenario_.contains("turn");
    for (;;) {
        auto line = nextInputLine();
        if (!line) {
            runSteps(scenario_.value("on_eof", json::array({{{"exit", 0}}})));
            waitUntil(std::nullopt, Awaiting::nothing); // only a signal ends this
            continue;
        }
        record({{"kind", "stdin"}, {"line", *line}});
        turnText_ = userText(*line);
        const json& turns = scenario_.value("turns", json::array());
        std::size_t index = static_cast<std::size_t>(turn_++);
        if (turns.is_array() && index < turns.size())
            runSteps(turns[index]);
        else if (scenario_.contains("turn"))
            runSteps(scenario_["turn"]);
        else if (!scripted)
            runSteps(defaultTurn);
    }
}

bool Agent::waitUntil(std::optional<Clock::time_point> deadline, Awaiting what) {
    for (;;) {
        if (what == Awaiting::input && (inputEnded_ || input_.find('\n') != std::string::npos))
            return true;
        if (what == Awaiting::server && server_.ended()) return true;
        int timeout = -1;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) return false;
            timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {-1, POLLIN, 0}};
        if (what == Awaiting::input) fds[1].fd = STDIN_FILENO;
        if (what == Awaiting::server) fds[1].fd = server_.outputDescriptor();
        int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) fail(std::string("poll: ") + std::strerror(errno));
        if (ready <= 0) continue;
        if (fds[1].revents != 0) {
            if (what == Awaiting::server) {
                server_.readSome();
                return true;
            }
            char chunk[4096];
            ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n > 0)
                input_.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                inputEnded_ = true;
        }
        if (fds[0].revents != 0) {
            unsigned char signals[16];
            ssize_t n = ::read(signalPipe[0], signals, sizeof signals);
            for (ssize_t i = 0; i < n; ++i)
                onSignal(signals[i]);
        }
    }
}

void Agent::onSignal(int signal) {
    record({{"kind", "signal"}, {"signal", signalName(signal)}});
    const json& how = scenario_.value(signal == SIGINT ? "on_sigint" : "on_sigterm", json());
    if (!how.is_array() || inSignalSteps_) return;
    inSignalSteps_ = true;
    try {
        runSteps(how);
    } catch (...) {
        inSignalSteps_ = false;
        throw;
    }
    inSignalSteps_ = false;
}

std::optional<std::string> Agent::nextInputLine() {
    waitUntil(std::nullopt, Awaiting::input);
    auto end = input_.find('\n');
    if (end == std::string::npos) return std::nullopt; // ended; a partial last line is dropped
    std::string line = input_.substr(0, end);
    input_.erase(0, end + 1);
    return line;
}

void Agent::runSteps(const json& steps) {
    if (!steps.is_array()) fail("a step list must be a JSON array: " + dump(steps));
    for (const auto& step : steps) {
        try {
            runStep(expand(step));
        } catch (const json::exception& error) {
            fail("malformed step " + dump(step) + ": " + error.what());
        }
    }
}

json Agent::expand(const json& value) const {
    if (value.is_string()) {
        std::string text = value.get<std::string>();
        if (text.find("{{") == std::string::npos) return value;
        replaceAll(text, "{{input}}", turnText_);
        replaceAll(text, "{{turn}}", std::to_string(turn_));
        replaceAll(text, "{{session}}", sessionId_);
        replaceAll(text, "{{resume}}", resume_.value_or(""));
        replaceAll(text, "{{cwd}}", cwd_);
        if (repetition_) replaceAll(text, "{{i}}", std::to_string(*repetition_));
        return text;
    }
    if (value.is_array() || value.is_object()) {
        json copy = value;
        for (auto& item : copy)
            item = expand(item);
        return copy;
    }
    return value;
}

// Fills in what every line of the real agent carries; `body` members win.
json Agent::message(const std::string& kind, const json& body) const {
    json line = {{"type", kind}, {"session_id", sessionId_}, {"uuid", pavix::newUUID()}};
    if (body.is_object()) line.update(body);
    return line;
}

void Agent::runStep(const json& step) {
    if (!step.is_object() || step.empty()) fail("a step must be a JSON object: " + dump(step));
    const std::string name = step.begin().key();
    const json& arg = step.begin().value();
    auto seconds = [](const json& v) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(v.is_number() ? v.get<double>() : 0.0));
    };
    auto assistant = [&](json content) {
        return message("assistant", {{"message",
                                      {{"id", "msg_" + pavix::newUUID().substr(0, 8)},
                                       {"type", "message"},
                                       {"role", "assistant"},
                                       {"model", "claude-fake"},
                                       {"content", std::move(content)},
                                       {"stop_reason", nullptr}}},
                                     {"parent_tool_use_id", nullptr}});
    };
    auto user = [&](json content) {
        return message("user", {{"message", {{"role", "user"}, {"content", std::move(content)}}},
                                {"parent_tool_use_id", nullptr}});
    };

    if (name == "line") {
        emit(lineText(arg));
    } else if (name == "raw") {
        emit(arg.get<std::string>());
    } else if (name == "raw_hex") {
        emit(fromHex(arg.get<std::string>()));
    } else if (name == "stderr") {
        writeError(arg.get<std::string>());
    } else if (name == "stderr_hex") {
        writeError(fromHex(arg.get<std::string>()));
    } else if (name == "sleep") {
        waitUntil(Clock::now() + seconds(arg), Awaiting::nothing);
    } else if (name == "exit") {
        throw Exit{arg.get<int>()};
    } else if (name == "die") {
        finish(-1);
        rlimit noCore{0, 0}; // a test's crash leaves no core file behind
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::signal(arg.get<int>(), SIG_DFL);
        ::raise(arg.get<int>());
        ::_exit(99);
    } else if (name == "await_input") {
        waitUntil(std::nullopt, Awaiting::input);
    } else if (name == "batch") {
        std::string bytes;
        std::string* outer = capture_;
        capture_ = &bytes;
        try {
            runSteps(arg);
        } catch (...) {
            capture_ = outer;
            throw;
        }
        capture_ = outer;
        std::vector<std::size_t> cuts;
        if (step.contains("cuts"))
            for (const auto& cut : step["cuts"])
                cuts.push_back(cut.get<std::size_t>());
        if (std::size_t size = step.value("chunk_size", std::size_t{0}); size > 0)
            for (std::size_t at = size; at < bytes.size(); at += size)
                cuts.push_back(at);
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            if (cut <= from || cut >= bytes.size()) continue;
            emit(bytes.substr(from, cut - from));
            waitUntil(Clock::now() + seconds(step.value("pause", json(0.05))), Awaiting::nothing);
            from = cut;
        }
        emit(bytes.substr(from));
    } else if (name == "repeat") {
        // The steps were expanded once already, with "{{i}}" left for each pass.
        const int times = step.value("times", 0);
        for (int i = 1; i <= times; ++i) {
            repetition_ = i;
            try {
                runSteps(arg);
            } catch (...) {
                repetition_.reset();
                throw;
            }
        }
        repetition_.reset();
    } else if (name == "init") {
        json body = {{"subtype", "init"},
                     {"cwd", cwd_},
                     {"tools", json::array({"Bash", "Read", "Edit", "mcp__pavix__approve"})},
                     {"mcp_servers", json::array({{{"name", "pavix"}, {"status", "connected"}}})},
                     {"model", "claude-fake"},
                     {"permissionMode", "default"},
                     {"apiKeySource", "none"},
                     {"claude_code_version", "2.1.0"}};
        if (arg.is_object()) body.update(arg);
        emit(lineText(message("system", body)));
    } else if (name == "status") {
        emit(lineText(message("system", {{"subtype", "status"}, {"status", arg}})));
    } else if (name == "api_retry") {
        json body = {{"subtype", "api_retry"}, {"attempt", 1},        {"max_retries", 10},
                     {"retry_delay_ms", 500},  {"error_status", 529}, {"error", "overloaded"}};
        if (arg.is_object()) body.update(arg);
        emit(lineText(message("system", body)));
    } else if (name == "stream_event") {
        emit(lineText(message("stream_event", {{"event", arg}, {"parent_tool_use_id", nullptr}})));
    } else if (name == "delta") {
        json event = {{"type", "content_block_delta"},
                      {"index", step.value("index", 0)},
                      {"delta", {{"type", "text_delta"}, {"text", arg}}}};
        emit(
            lineText(message("stream_event", {{"event", event}, {"parent_tool_use_id", nullptr}})));
    } else if (name == "text") {
        emit(lineText(assistant(json::array({{{"type", "text"}, {"text", arg}}}))));
    } else if (name == "tool_use") {
        json block = {{"type", "tool_use"},
                      {"id", arg.contains("id") ? arg["id"]
                                                : json("toolu_" + std::to_string(++nextToolUse_))},
                      {"name", arg.value("name", "Bash")},
                      {"input", arg.value("input", json::object())}};
        emit(lineText(assistant(json::array({block}))));
    } else if (name == "assistant") {
        emit(lineText(assistant(arg)));
    } else if (name == "tool_result") {
        json block = {{"type", "tool_result"},
                      {"tool_use_id", arg.value("tool_use_id", "")},
                      {"content", arg.value("content", json(""))},
                      {"is_error", arg.value("is_error", false)}};
        emit(lineText(user(json::array({block}))));
    } else if (name == "user_text") {
        emit(lineText(user(json::array({{{"type", "text"}, {"text", arg}}}))));
    } else if (name == "result") {
        json body = {{"subtype", "success"},    {"is_error", false},
                     {"duration_ms", 1200},     {"duration_api_ms", 1000},
                     {"num_turns", 1},          {"result", ""},
                     {"total_cost_usd", 0.001}, {"permission_denials", json::array()}};
        json line = message("result", body);
        if (arg.is_object())
            for (const auto& [key, value] : arg.items()) {
                if (value.is_null())
                    line.erase(key); // how a test leaves out a member the real agent omits
                else
                    line[key] = value;
            }
        emit(lineText(line));
    } else if (name == "approve") {
        approve(arg);
    } else if (name == "note") {
        record({{"kind", "note"}, {"note", arg}});
    } else if (name == "close_stdout") {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    } else if (name == "stderr_flood") {
        // Numbered lines, so a tail of them shows where it was cut.
        std::string bytes;
        for (std::size_t line = 0, left = arg.get<std::size_t>(); left > 0; ++line) {
            std::string text = "noise " + std::to_string(line) + " " + std::string(50, '.') + "\n";
            bytes += text.substr(0, std::min(left, text.size()));
            left -= std::min(left, text.size());
            if (bytes.size() >= 65536 || left == 0) writeError(std::exchange(bytes, {}));
        }
    } else if (name == "garbage") {
        std::mt19937 random(step.value("seed", 1u));
        std::string bytes(arg.get<std::size_t>(), '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random() & 0xff);
        emit(bytes);
    } else if (name == "spawn") {
        auto argv = arg.get<std::vector<std::string>>();
        std::vector<char*> pointers;
        for (auto& text : argv)
            pointers.push_back(text.data());
        pointers.push_back(nullptr);
        pid_t pid = -1;
        if (::posix_spawnp(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0)
            fail("couldn't spawn " + argv[0]);
        record({{"kind", "spawn"}, {"pid", pid}});
    } else {
        fail("unknown step: " + dump(step));
    }
}

void Agent::emit(const std::string& bytes) {
    if (capture_)
        capture_->append(bytes);
    else
        writeAll(STDOUT_FILENO, bytes);
}

void Agent::writeError(const std::string& bytes) {
    writeAll(STDERR_FILENO, bytes);
}

bool Agent::ensureServer() {
    if (serverState_ != ServerState::none) return serverState_ == ServerState::ready;
    serverState_ = ServerState::failed;
    if (!mcpConfig_) {
        record({{"kind", "mcp"}, {"error", "no --mcp-config"}});
        return false;
    }
    json config = json::parse(*mcpConfig_, nullptr, false);
    json server = config.is_object()
                      ? config.value("mcpServers", json::object()).value("pavix", json())
                      : json();
    if (auto error = server_.start(server)) {
        record({{"kind", "mcp"}, {"error", *error}});
        return false;
    }
    using namespace std::chrono_literals;
    json entry = {{"kind", "mcp"}};
    entry["discover"] = call({{"jsonrpc", "2.0"},
                              {"id", "server-discover-probe-1"},
                              {"method", "server/discover"},
                              {"params", json::object()}},
                             30s)
                            .value_or(json());
    entry["initialize"] =
        call({{"jsonrpc", "2.0"},
              {"id", nextRequestId_++},
              {"method", "initialize"},
              {"params",
               {{"protocolVersion", "2025-11-25"},
                {"capabilities", {{"roots", json::object()}, {"elicitation", json::object()}}},
                {"clientInfo", {{"name", "claude-code"}, {"version", "2.1.0"}}}}}},
             30s)
            .value_or(json());
    server_.send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    entry["tools"] = call({{"jsonrpc", "2.0"},
                           {"id", nextRequestId_++},
                           {"method", "tools/list"},
                           {"params", json::object()}},
                          30s)
                         .value_or(json());
    bool ready = entry["initialize"].contains("result") && entry["tools"].contains("result");
    if (!ready) entry["error"] = "handshake failed";
    record(entry);
    serverState_ = ready ? ServerState::ready : ServerState::failed;
    return ready;
}

std::optional<json> Agent::call(json request, std::optional<std::chrono::milliseconds> limit) {
    std::optional<Clock::time_point> deadline;
    if (limit) deadline = Clock::now() + *limit;
    server_.send(request);
    for (;;) {
        while (auto line = server_.takeLine()) {
            json answer = json::parse(*line, nullptr, false);
            if (answer.is_object() && answer.contains("id") && answer["id"] == request["id"] &&
                (answer.contains("result") || answer.contains("error")))
                return answer;
        }
        if (server_.ended() || !waitUntil(deadline, Awaiting::server)) return std::nullopt;
    }
}

void Agent::approve(const json& request) {
    const std::string toolUseId = request.contains("tool_use_id")
                                      ? request["tool_use_id"].get<std::string>()
                                      : "toolu_" + std::to_string(++nextToolUse_);
    const std::string toolName = request.value("tool_name", "Bash");
    const json input = request.value("input", json::object());
    if (request.value("announce", true))
        runStep({{"tool_use", {{"id", toolUseId}, {"name", toolName}, {"input", input}}}});

    json entry = {{"kind", "approval"},
                  {"tool_use_id", toolUseId},
                  {"tool_name", toolName},
                  {"input", input}};
    std::optional<json> answer;
    if (ensureServer()) {
        std::optional<std::chrono::milliseconds> limit;
        if (scenario_.contains("approval_timeout"))
            limit = std::chrono::milliseconds(
                static_cast<long long>(scenario_["approval_timeout"].get<double>() * 1000));
        answer = call({{"jsonrpc", "2.0"},
                       {"id", nextRequestId_++},
                       {"method", "tools/call"},
                       {"params",
                        {{"name", "approve"},
                         {"arguments",
                          {{"tool_name", toolName}, {"input", input}, {"tool_use_id", toolUseId}}},
                         {"_meta", {{"claudecode/toolUseId", toolUseId}}}}}},
                      limit);
    }
    json decision;
    if (answer) {
        entry["response"] = *answer;
        const json& result = answer->value("result", json::object());
        const json& content = result.is_object() ? result.value("content", json()) : json();
        if (content.is_array() && !content.empty() && content[0].is_object() &&
            content[0].contains("text") && content[0]["text"].is_string())
            decision = json::parse(content[0]["text"].get<std::string>(), nullptr, false);
    }
    if (decision.is_discarded()) decision = nullptr;
    entry["decision"] = decision;
    record(entry);

    const bool allowed = decision.is_object() && decision.value("behavior", "") == "allow";
    if (request.value("report", true)) {
        json result = {{"tool_use_id", toolUseId}};
        if (allowed) {
            result["content"] = request.value("output", json("done"));
        } else {
            std::string why = "Permission to use " + toolName + " has been denied.";
            if (decision.is_object() && decision.contains("message") &&
                decision["message"].is_string())
                why = decision["message"].get<std::string>();
            result["content"] = why;
            result["is_error"] = true;
        }
        runStep({{"tool_result", result}});
    }
    runSteps(request.value(allowed ? "on_allow" : "on_deny", json::array()));
}

void Agent::record(json entry) {
    if (recordFd_ < 0) return;
    writeAll(recordFd_, dump(entry) + "\n");
}

void Agent::fail(const std::string& why) {
    writeError("fake_claude: " + why + "\n");
    record({{"kind", "error"}, {"error", why}});
    throw Exit{98};
}

int Agent::finish(int status) {
    if (auto ended = server_.stop()) record({{"kind", "mcp_exit"}, {"how", *ended}});
    if (status >= 0) record({{"kind", "exit"}, {"status", status}});
    return status;
}

} // namespace fake
