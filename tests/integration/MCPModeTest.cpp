// `pavix-bridge mcp` as Claude Code runs it: lines in, replies out, each approval call posted
// to a canned stand-in for the service.
#include "LoopbackPort.h"
#include "RunProgram.h"
#include "TempHome.h"
#include "platform/Spawn.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;
using nlohmann::json;

namespace {

// Only a failing test waits this long; the service waits twice as long for a hang-up.
constexpr int guardMilliseconds = 10'000;

bool readable(int fd, int milliseconds = guardMilliseconds) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, milliseconds) == 1;
}

/// Answers successive connections with `answers`, one each and in order, on a thread of its
/// own. An empty answer hangs up at once; `held` answers nothing until the client hangs up.
class CannedService {
public:
    static constexpr const char* held = "held";
    explicit CannedService(std::vector<std::string> answers)
        : listener_(boundLoopbackSocket(port_)) {
        ::listen(listener_, 8);
        thread_ = std::thread([this, answers = std::move(answers)] {
            for (const std::string& answer : answers) {
                if (!readable(listener_, 2 * guardMilliseconds)) return;
                int fd = ::accept(listener_, nullptr, nullptr);
                readRequest(fd);
                char byte;
                if (answer == held)
                    while (readable(fd, 2 * guardMilliseconds) && ::read(fd, &byte, 1) > 0) {
                    }
                else
                    ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(fd);
            }
        });
    }
    ~CannedService() {
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    // Up to the end of its body, which is what the client waits to have sent.
    static void readRequest(int fd) {
        std::string data;
        char chunk[65536];
        for (;;) {
            std::size_t head = data.find("\r\n\r\n"), length = data.find("Content-Length: ");
            if (head != std::string::npos && length < head &&
                data.size() >= head + 4 + std::strtoul(&data[length + 16], nullptr, 10))
                return;
            ssize_t n = readable(fd) ? ::read(fd, chunk, sizeof chunk) : 0;
            if (n <= 0) return;
            data.append(chunk, std::size_t(n));
        }
    }
    std::uint16_t port_ = 0;
    int listener_;
    std::thread thread_;
};

/// `pavix-bridge mcp --port <port> --run run_x` over pipes, its standard error kept in a file.
class Mode {
public:
    Mode(const std::string& port, const std::filesystem::path& errors) {
        Result<Pipe> in = makePipe(), out = makePipe();
        Descriptor error(::open(errors.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        pid_ = spawnProcess({PAVIX_BRIDGE_PATH, "mcp", "--port", port, "--run", "run_x"}, {},
                            in->read.get(), out->write.get(), error.get());
        in_ = std::move(in->write);
        out_ = std::move(out->read);
    }
    ~Mode() { end(); }
    std::string output; ///< what came after the last reply taken
    void send(const std::string& text) {
        EXPECT_EQ(::write(in_.get(), text.data(), text.size()), ssize_t(text.size()));
    }
    /// The next reply line, or null when none comes.
    json next() {
        std::size_t end;
        while ((end = output.find('\n')) == std::string::npos && read()) {
        }
        if (end == std::string::npos) return nullptr;
        json reply = json::parse(output.substr(0, end));
        output.erase(0, end + 1);
        return reply;
    }
    /// Ends the input; the exit status once the output has ended (killed when it does not).
    int end() {
        if (pid_ < 0) return status_;
        in_.reset();
        while (read()) {
        }
        ::kill(pid_, SIGKILL); // nothing to end unless the output was held open
        status_ = reap(std::exchange(pid_, -1));
        return status_;
    }

private:
    bool read() {
        char chunk[4096];
        ssize_t n = readable(out_.get()) ? ::read(out_.get(), chunk, sizeof chunk) : -1;
        if (n > 0) output.append(chunk, std::size_t(n));
        return n > 0;
    }
    pid_t pid_ = -1;
    int status_ = -1;
    Descriptor in_, out_;
};

std::string callLine(const json& id, const json& input = json::object()) {
    return R"({"jsonrpc":"2.0","method":"tools/call","id":)" + id.dump() +
           R"(,"params":{"name":"approve","arguments":{"tool_name":"Bash","input":)" +
           input.dump() + "}}}\n";
}

std::string behaviorOf(const json& reply) {
    return json::parse(reply["result"]["content"][0]["text"].get<std::string>())["behavior"];
}

std::string answer(const std::string& body, const std::string& status = "200 OK") {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

} // namespace

TEST(MCPMode, OnlyAnOfferedChoiceAllowsAndEveryFailureDenies) {
    TempHome home;
    // Only the first two allow, as offered; the status is not looked at.
    CannedService service({
        answer(R"({"choice":"session"})", "500 Internal Server Error"),
        answer(R"({"choice":"once"})"),
        answer(R"({"choice":"deny"})"),
        answer(R"({"choice":"allow"})"),
        answer(R"({"choice":"Once"})"),
        answer(R"({"choice":""})"),
        answer(R"({"error":"unauthorized"})", "401 Unauthorized"),
        answer(R"({"choice":1})"),
        answer("once"),
        answer(R"({"choice":"once","_":")" + std::string(1 << 20, ' ') + "\"}"),
        "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n{\"choice\":\"once\"}",
        "not http\r\n\r\n",
        "",
    });
    Mode mode(std::to_string(service.port()), home.path() / "errors");
    const json input = {{"command", "ls /tmp"}, {"long", std::string(200'000, 'z')}};
    for (int i = 0; i < 13; ++i) {
        mode.send(callLine(i, input));
        json reply = mode.next();
        EXPECT_EQ(reply["id"], i);
        EXPECT_EQ(behaviorOf(reply), i < 2 ? "allow" : "deny") << i;
    }
    std::uint16_t refused = 0;
    int socket = boundLoopbackSocket(refused);
    for (const std::string& port :
         {std::to_string(refused), std::string("65536"), std::string("8790x")}) {
        Mode unreachable(port, home.path() / "errors");
        unreachable.send(callLine(1));
        EXPECT_EQ(behaviorOf(unreachable.next()), "deny") << port;
    }
    ::close(socket);
}

TEST(MCPMode, AnswersWhileCallsWaitDropsACancelledOneAndEndsWithItsInput) {
    TempHome home;
    CannedService service({CannedService::held, answer(R"({"choice":"once"})")});
    Mode mode(std::to_string(service.port()), home.path() / "errors");
    mode.send(callLine(1));
    mode.send("\r\n{\"id\":\"p\",\"method\":\"ping\"}\r\n");
    EXPECT_EQ(mode.next()["id"], "p");
    // Its connection must close: the service takes the next call only then.
    mode.send(R"({"method":"notifications/cancelled","params":{"requestId":1}})" +
              ("\n" + callLine(2)));
    json reply = mode.next();
    EXPECT_EQ(reply["id"], 2) << "no answer to the cancelled call";
    EXPECT_EQ(behaviorOf(reply), "allow");
    // A call that waits for good (the service never takes it) does not hold up the end.
    mode.send(callLine(3) + "{\"id\":4,\"method\":\"ping\"}\n");
    EXPECT_EQ(mode.next()["id"], 4);
    EXPECT_EQ(mode.end(), 0);
    EXPECT_EQ(mode.output, "");
    EXPECT_EQ(readText(home.path() / "errors"), "");
}

TEST(MCPMode, ReadsToTheEndAndAnswersInKind) {
    TempHome home;
    auto pong = [](const std::string& id) {
        return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{}})";
    };
    auto initialized = [](const std::string& id, const std::string& version) {
        return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},)" +
               R"("protocolVersion":")" + version +
               R"(","serverInfo":{"name":"pavix","version":"1.0"}}})";
    };
    const std::string invalid =
        R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})";
    // A ping of `size` bytes.
    auto ofSize = [](std::size_t size) {
        const std::string start = R"({"id":5,"method":"ping","_":")";
        return start + std::string(size - start.size() - 2, ' ') + "\"}";
    };
    // Each line and its reply: compact, keys in order, "/" unescaped, the id as it came.
    const std::vector<std::pair<std::string, std::string>> rows = {
        {R"({"jsonrpc":"2.0","id":"a/b","method":"ping","params":7})", pong(R"("a/b")")},
        {R"({"id":null,"method":"ping"})", pong("null")},
        {R"({"id":2.5,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
         initialized("2.5", "2024-11-05")},
        {R"({"id":3,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})",
         initialized("3", "2025-11-25")},
        {R"({"id":"i","method":"initialize"})", initialized(R"("i")", "2025-11-25")},
        {R"({"id":[2.5],"method":"ping"})", invalid},
        {R"({"id":{"a":1},"method":"tools/call"})", invalid},
        {ofSize((4 << 20) + 1), ""}, // over 4 MiB: dropped like a line that is not JSON
        {ofSize(4 << 20), pong("5")},
        {R"({"id":4,"method":"Ping"})",
         R"({"error":{"code":-32601,"message":"Method not found"},"id":4,"jsonrpc":"2.0"})"},
        {R"({"method":"tools/call","params":{"arguments":{"tool_name":"Bash"}}})", ""},
        {"{\"id\":\"\xff\",\"method\":\"ping\"}", ""},
        {R"({"id":1,"method":"ping"})", pong("1")}, // the last line, without a line feed
    };
    std::string input, expected;
    for (const auto& [line, reply] : rows) {
        input += (input.empty() ? "" : "\r\n") + line;
        expected += reply.empty() ? "" : reply + "\n";
    }
    for (const std::string& given : {std::string(), input}) {
        auto result = runBridge({"mcp", "--port", "1", "--run", "run_x"}, {}, given);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, given.empty() ? "" : expected);
        EXPECT_EQ(result.err, "");
    }
    EXPECT_TRUE(std::filesystem::exists(home.configFolder() / "bridge.json")) << "made at start";
}
