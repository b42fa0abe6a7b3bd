// Stands in for Claude Code in tests: plays the scenario that FAKE_AGENT_SCENARIO names and
// records what it was given. The scenario language is in README.md beside this file.
#include "Spawn.h"

#include "util/Files.h"
#include "util/Ids.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

using json = nlohmann::json;
using pavix::writeAll; // a reader that has gone is no concern of a stand-in
using Clock = std::chrono::steady_clock;

int signalPipe[2] = {-1, -1};

void noteSignal(int signal) {
    int saved = errno;
    char byte = static_cast<char>(signal);
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

struct Exit { // thrown by the "exit" step
    int status;
};

struct Agent {
    json scenario;
    std::vector<std::string> args;
    std::string sessionId, cwd, input;
    bool inSignalSteps = false;
    int recordFd = -1;
    pid_t server = -1; ///< the approval server, once started
    int toServer = -1, fromServer = -1, nextId = 0;
    std::string fromServerText;

    std::optional<std::string> argument(const std::string& name) const {
        for (std::size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name) return args[i + 1];
        return std::nullopt;
    }
    void record(const json& entry) const {
        if (recordFd >= 0) writeAll(recordFd, dump(entry) + "\n");
    }
    // One line as the real agent writes it: `message` with this session's id.
    void message(json message) {
        message["session_id"] = sessionId;
        writeAll(STDOUT_FILENO, dump(message) + "\n");
    }

    void play(const json& steps);

    /// Waits until `fd` has something to read (-1: nothing but a signal) or `deadline`
    /// passes, acting on signals meanwhile. Whether `fd` became readable.
    bool wait(int fd, std::optional<Clock::time_point> deadline = std::nullopt) {
        for (;;) {
            auto left = deadline
                            ? std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now())
                            : std::chrono::milliseconds(-1);
            if (deadline && left.count() <= 0) return false;
            pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
            if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
            char signal;
            if (fds[0].revents && ::read(signalPipe[0], &signal, 1) == 1) onSignal(signal);
            if (fds[1].revents) return true;
        }
    }

    void onSignal(int signal) {
        record({{"kind", "signal"}, {"signal", signal == SIGINT ? "SIGINT" : "SIGTERM"}});
        const json& how = scenario[signal == SIGINT ? "on_sigint" : "on_sigterm"];
        if (!how.is_array() || std::exchange(inSignalSteps, true)) return;
        play(how);
        inSignalSteps = false;
    }

    /// The next line from `fd` (buffered in `pending`), taken or left for later; nothing
    /// once `fd` has ended (a last partial line is dropped).
    std::optional<std::string> readLine(int fd, std::string& pending, bool take = true) {
        for (char chunk[4096];;) {
            if (auto end = pending.find('\n'); end != std::string::npos) {
                std::string line = pending.substr(0, end);
                if (take) pending.erase(0, end + 1);
                return line;
            }
            ssize_t n = wait(fd) ? ::read(fd, chunk, sizeof chunk) : 0;
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            pending.append(chunk, static_cast<std::size_t>(n));
        }
    }

    /// One JSON-RPC request to the approval server; its response, or null.
    json ask(json request) {
        request["jsonrpc"] = "2.0";
        request["id"] = nextId++;
        writeAll(toServer, dump(request) + "\n");
        while (auto line = readLine(fromServer, fromServerText)) {
            json answer = json::parse(*line, nullptr, false);
            if (answer.is_object() && answer.value("id", json()) == request["id"]) return answer;
        }
        return nullptr;
    }

    /// Starts mcpServers.pavix of --mcp-config on pipes and shakes hands with it, as the
    /// real agent does; whether it is ready.
    bool startServer() {
        std::vector<std::string> argv;
        try {
            json entry =
                json::parse(argument("--mcp-config").value_or("")).at("mcpServers").at("pavix");
            argv.push_back(entry.at("command"));
            for (const auto& word : entry.value("args", json::array()))
                argv.push_back(word);
        } catch (const json::exception&) {
            return false;
        }
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
        server = pavix::test::spawnProcess(argv, {}, in[0], out[1]);
        ::close(in[0]);
        ::close(out[1]);
        toServer = in[1];
        fromServer = out[0];
        json hello = ask({{"method", "initialize"},
                          {"params",
                           {{"protocolVersion", "2025-11-25"},
                            {"capabilities", json::object()},
                            {"clientInfo", {{"name", "claude-code"}, {"version", "2.1.0"}}}}}});
        writeAll(toServer, "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n");
        json tools = ask({{"method", "tools/list"}, {"params", json::object()}});
        return server > 0 && hello.contains("result") && tools.contains("result");
    }

    // Asks the approval server about a tool call, then writes the tool's result, as the
    // real agent does; plays "on_deny" when denied.
    void approve(const json& request) {
        const json id = request.contains("tool_use_id") ? request["tool_use_id"] : "toolu_1";
        json call = {{"name", "approve"},
                     {"arguments",
                      {{"tool_name", request.value("tool_name", "Bash")},
                       {"input", request.value("input", json::object())}}}};
        if (id.is_string()) call["arguments"]["tool_use_id"] = id; // null: no id, as MCP clients
        json decision; // the answer's first text block, as JSON
        try {
            if (server > 0 || startServer()) {
                json answer = ask({{"method", "tools/call"}, {"params", call}});
                decision = json::parse(
                    answer.at("result").at("content").at(0).at("text").get<std::string>());
            }
        } catch (const json::exception&) {
        }
        record({{"kind", "approval"}, {"tool_use_id", id}, {"decision", decision}});
        bool allowed = decision.is_object() && decision.value("behavior", "") == "allow";
        json result = {{"type", "tool_result"},
                       {"tool_use_id", id},
                       {"is_error", !allowed},
                       {"content", allowed ? "done" : "denied"}};
        message({{"type", "user"}, {"message", {{"role", "user"}, {"content", {result}}}}});
        if (!allowed) play(request.value("on_deny", json::array()));
    }

    int finish(int status) {
        if (server > 0) { // ended as the real agent ends it
            ::close(toServer);
            ::kill(server, SIGINT);
            ::waitpid(server, nullptr, 0);
        }
        record({{"kind", "exit"}, {"status", status}});
        return status;
    }

    int run();
};

json assistant(json block) {
    return {{"type", "assistant"}, {"message", {{"role", "assistant"}, {"content", {block}}}}};
}

Clock::time_point in(const json& seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds.get<double>()));
}

// The step kinds: a step is an object whose first member names it and holds its value.
using Arg = const json&; // a step's value, then the whole step
using Step = std::function<void(Agent&, Arg value, Arg step)>;
const std::map<std::string, Step> steps = {
    {"init",
     [](Agent& a, Arg, Arg) {
         a.message({{"type", "system"},
                    {"subtype", "init"},
                    {"cwd", a.cwd},
                    {"model", "fake"},
                    {"tools", {"Bash", "Read", "mcp__pavix__approve"}}});
     }},
    {"delta",
     [](Agent& a, Arg text, Arg) {
         a.message({{"type", "stream_event"},
                    {"event",
                     {{"type", "content_block_delta"},
                      {"index", 0},
                      {"delta", {{"type", "text_delta"}, {"text", text}}}}}});
     }},
    {"text",
     [](Agent& a, Arg text, Arg) {
         a.message(assistant({{"type", "text"}, {"text", text}}));
     }},
    {"tool_use",
     [](Agent& a, json use, Arg) {
         use["type"] = "tool_use";
         a.message(assistant(use));
     }},
    {"result",
     [](Agent& a, Arg fields, Arg) {
         json line = {
             {"type", "result"}, {"subtype", "success"}, {"is_error", false}, {"result", ""}};
         line.update(fields);
         a.message(line);
     }},
    {"raw", [](Agent&, Arg bytes, Arg) { writeAll(STDOUT_FILENO, bytes.get<std::string>()); }},
    {"stderr", [](Agent&, Arg text, Arg) { writeAll(STDERR_FILENO, text.get<std::string>()); }},
    {"repeat",
     [](Agent& a, Arg inner, Arg step) {
         for (int pass = 0; pass < step.value("times", 0); ++pass)
             a.play(inner);
     }},
    {"sleep", [](Agent& a, Arg seconds, Arg) { a.wait(-1, in(seconds)); }},
    {"await_input", [](Agent& a, Arg, Arg) { a.readLine(STDIN_FILENO, a.input, false); }},
    {"exit", [](Agent&, Arg status, Arg) { throw Exit{status.get<int>()}; }},
    {"approve", [](Agent& a, Arg request, Arg) { a.approve(request); }},
    {"spawn",
     [](Agent& a, Arg argv, Arg) {
         a.record({{"kind", "spawn"}, {"pid", pavix::test::spawnProcess(argv)}});
     }},
    {"close_stdout",
     [](Agent&, Arg, Arg) {
         int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
         ::dup2(null, STDOUT_FILENO);
         ::close(null);
     }},
};

void Agent::play(const json& list) {
    for (const json& step : list) {
        auto kind =
            step.is_object() && !step.empty() ? steps.find(step.begin().key()) : steps.end();
        if (kind == steps.end()) {
            writeAll(STDERR_FILENO, "fake_claude: unknown step " + dump(step) + "\n");
            throw Exit{98};
        }
        kind->second(*this, step.begin().value(), step);
    }
}

int Agent::run() {
    std::vector<int> fds; // what this process was started with, the record file aside
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error))
        fds.push_back(std::stoi(fd.path().filename().string()));
    std::erase_if(fds, [&](int fd) { return fd == recordFd || ::fcntl(fd, F_GETFD) < 0; });
    std::sort(fds.begin(), fds.end());
    record({{"kind", "start"},
            {"args", args},
            {"cwd", cwd},
            {"env", pavix::test::currentEnvironment()},
            {"pid", ::getpid()},
            {"fds", fds}});
    if (!args.empty() && args[0] == "--version") {
        writeAll(STDOUT_FILENO, scenario.value("version", "2.1.0 (Claude Code)\n"));
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 97;
    for (auto [signal, key] : {std::pair{SIGINT, "on_sigint"}, std::pair{SIGTERM, "on_sigterm"}})
        if (scenario.contains(key)) ::signal(signal, noteSignal);
    const json plain = R"([{"init": true}, {"text": "ok"}, {"result": {"result": "ok"}}])"_json;
    try {
        play(scenario.value("start", json::array()));
        for (std::size_t turn = 0;; ++turn) {
            auto line = readLine(STDIN_FILENO, input);
            if (!line) return finish(0); // input ended, as the real agent does
            json text = *line;           // the message's text, or the whole line when it has none
            try {
                text = json::parse(*line).at("message").at("content").at(0).at("text");
            } catch (const json::exception&) {
            }
            record({{"kind", "stdin"}, {"text", text}});
            const json& turns = scenario.value("turns", json::array());
            play(turn < turns.size() ? turns[turn] : scenario.value("turn", plain));
        }
    } catch (const Exit& exit) {
        return finish(exit.status);
    }
}

} // namespace

int main(int argc, char** argv) {
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a test that kills the service leaves no agent behind
#endif
    Agent agent;
    agent.args.assign(argv + 1, argv + argc);
    const char* file = std::getenv("FAKE_AGENT_SCENARIO");
    agent.scenario =
        file ? json::parse(pavix::readFile(file).value_or(""), nullptr, false) : json::object();
    if (!agent.scenario.is_object()) return 97;
    if (agent.scenario.contains("record"))
        agent.recordFd = ::open(agent.scenario["record"].get<std::string>().c_str(),
                                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    agent.sessionId = agent.scenario.value("session_id", agent.argument("--resume").value_or(""));
    if (agent.sessionId.empty()) agent.sessionId = pavix::newUUID();
    agent.cwd = std::filesystem::current_path().string();
    return agent.run();
}
