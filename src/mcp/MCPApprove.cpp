#include "mcp/MCPApprove.h"

#include "config/BridgeConfig.h"
#include "mcp/LineReader.h"
#include "mcp/MCPAsk.h"
#include "mcp/MCPMessages.h"
#include "util/Files.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <tuple>
#include <unistd.h>

namespace pavix::MCPApprove {

std::optional<std::string> value(const std::vector<std::string>& arguments, std::string_view name) {
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (arguments[i] == name)
            return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
    return std::nullopt;
}

namespace {

constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// Each reply is handed over in one write (continued only after a short write). A closed
// standard output has no one to tell; reading goes on until input ends.
void reply(std::string_view line) {
    writeAll(STDOUT_FILENO, line);
}

/// The `mcp` mode on its own loop: standard input read as it comes, and the approval calls that
/// wait for the service meanwhile.
class ApprovalServer {
public:
    ApprovalServer(std::string port, std::string key, std::string run)
        : port_(std::move(port))
        , key_(std::move(key))
        , run_(std::move(run)) {}

    /// Answers standard input until it ends.
    void serve() {
        asio::co_spawn(io_, readInput(), asio::detached); // lets nothing escape
        io_.run();
    }

private:
    struct Call {
        Message message;
        asio::cancellation_signal hangUp;
        bool cancelled = false;
    };

    asio::awaitable<void> readInput();
    void handle(std::string_view line);
    void start(Message message);
    asio::awaitable<void> callService(std::uint64_t number, std::string body);
    void cancel(const nlohmann::json& id);

    const std::string port_, key_, run_;
    std::map<std::uint64_t, Call> calls_; // by start order
    std::uint64_t lastCall_ = 0;
    // Destroyed first: the calls it still holds let go of their signals in calls_.
    asio::io_context io_;
};

asio::awaitable<void> ApprovalServer::readInput() {
    // Asio reads a regular file or /dev/null, which epoll refuses, without waiting.
    asio::posix::stream_descriptor input(io_);
    boost::system::error_code error;
    input.assign(STDIN_FILENO, error);
    LineReader lines;
    std::array<char, 65536> chunk;
    while (!error) {
        std::size_t size = 0;
        std::tie(error, size) = co_await input.async_read_some(asio::buffer(chunk), noThrow);
        lines.append(std::string_view(chunk.data(), size));
        if (error) lines.end();
        while (std::optional<std::string> line = lines.next())
            handle(*line);
    }
    // Claude Code closes its end when it is done with this server: no one is left to answer.
    io_.stop();
}

void ApprovalServer::handle(std::string_view line) {
    Message message = readMessage(line);
    switch (message.kind) {
    case Message::Kind::ignored:
        break;
    case Message::Kind::answered:
        reply(message.reply);
        break;
    case Message::Kind::call:
        start(std::move(message));
        break;
    case Message::Kind::cancel:
        cancel(message.id);
        break;
    }
}

void ApprovalServer::start(Message message) {
    std::string body = approvalPostBody(run_, message);
    const std::uint64_t number = ++lastCall_;
    calls_[number].message = std::move(message);
    asio::co_spawn(io_, callService(number, std::move(body)), asio::detached);
}

asio::awaitable<void> ApprovalServer::callService(std::uint64_t number, std::string body) {
    Call& call = calls_.at(number);
    auto choice = ApprovalChoice::deny;
    // A cancellation that came before this started has nothing to close yet.
    if (!call.cancelled) {
        try {
            choice = co_await ask(port_, key_, std::move(body), call.hangUp.slot());
        } catch (...) { // out of memory, say: denied like any other failure
        }
    }
    if (!call.cancelled)
        if (std::optional<std::string> text = callReply(call.message, choice)) reply(*text);
    calls_.erase(number);
}

void ApprovalServer::cancel(const nlohmann::json& id) {
    for (auto& [number, call] : calls_)
        if (!call.cancelled && call.message.id == id) {
            call.cancelled = true;
            call.hangUp.emit(asio::cancellation_type::terminal);
        }
}

} // namespace

void run(const std::vector<std::string>& arguments) {
    {
        // Without a key the service refuses every question, which ends each call as a denial.
        auto config = BridgeConfig::loadOrCreate();
        ApprovalServer server(
            value(arguments, "--port").value_or(std::to_string(BridgeConfig::defaultPort)),
            config ? config->key : "", value(arguments, "--run").value_or(""));
        server.serve();
    }
    std::exit(0);
}

} // namespace pavix::MCPApprove
