// The one unit that includes Boost.Beast: its HTTP client is heavy to compile.
#include "mcp/MCPAsk.h"

#include "util/Descriptors.h"
#include "util/Json.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>
#include <tuple>

namespace pavix::MCPApprove {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using nlohmann::json;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// The person has up to 600 seconds to decide; the service denies by itself then.
constexpr std::chrono::seconds requestTime{660};
// A choice is a few bytes; anything this large is not an answer.
constexpr std::uint64_t maximumAnswerBytes = 1 << 20;

// Only a word the person can be offered allows anything.
ApprovalChoice choiceIn(const std::string& answer) {
    std::optional<json> parsed = parseObject(answer);
    const std::string* choice = parsed ? findString(*parsed, "choice") : nullptr;
    return choice ? parseChoice(*choice).value_or(ApprovalChoice::deny) : ApprovalChoice::deny;
}

/// Lets `cancel` close `stream` while a call is under way, and no longer than that.
class CloseOnCancel {
public:
    CloseOnCancel(asio::cancellation_slot slot, beast::tcp_stream& stream)
        : slot_(slot) {
        if (slot_.is_connected())
            slot_.assign([&stream](asio::cancellation_type) { stream.close(); });
    }
    ~CloseOnCancel() {
        if (slot_.is_connected()) slot_.clear();
    }
    CloseOnCancel(const CloseOnCancel&) = delete;
    CloseOnCancel& operator=(const CloseOnCancel&) = delete;

private:
    asio::cancellation_slot slot_;
};

http::request<http::string_body> approvalPost(const std::string& port, const std::string& key,
                                              std::string body) {
    http::request<http::string_body> request{http::verb::post, "/internal/approve", 11};
    request.set(http::field::host, "127.0.0.1:" + port);
    request.set(http::field::content_type, "application/json");
    request.set(http::field::authorization, "Bearer " + key);
    request.body() = std::move(body);
    request.prepare_payload();
    return request;
}

} // namespace

std::optional<std::uint16_t> portNumber(std::string_view text) {
    unsigned number = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.size() > 5 || text[0] < '0' || text[0] > '9') return std::nullopt;
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end || number > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(number);
}

asio::awaitable<ApprovalChoice> ask(std::string port, std::string key, std::string body,
                                    asio::cancellation_slot cancel) {
    std::optional<std::uint16_t> number = portNumber(port);
    if (!number) co_return ApprovalChoice::deny;
    beast::tcp_stream stream(co_await asio::this_coro::executor);
    CloseOnCancel closer(cancel, stream);
    boost::system::error_code error;
    stream.socket().open(tcp::v4(), error);
    if (error) co_return ApprovalChoice::deny;
    setCloseOnExec(stream.socket().native_handle());
    stream.expires_after(requestTime);

    std::tie(error) = co_await stream.async_connect(
        tcp::endpoint(asio::ip::address_v4::loopback(), *number), noThrow);
    if (error) co_return ApprovalChoice::deny;
    auto request = approvalPost(port, key, std::move(body));
    std::tie(error, std::ignore) = co_await http::async_write(stream, request, noThrow);
    if (error) co_return ApprovalChoice::deny;
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(maximumAnswerBytes);
    std::tie(error, std::ignore) = co_await http::async_read(stream, buffer, parser, noThrow);
    if (error) co_return ApprovalChoice::deny;
    co_return choiceIn(parser.get().body());
}

} // namespace pavix::MCPApprove
