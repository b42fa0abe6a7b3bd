#include "http/RequestReader.h"

#include "http/HTTPWire.h"
#include "http/RequestParser.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>

#include <span>
#include <tuple>

namespace pavix {

namespace {

using tcp = asio::ip::tcp;
using boost::system::error_code;
constexpr auto noThrow = asio::as_tuple(asio::use_awaitable);

// What a connection does once the parser has taken a read's bytes.
enum class Next { readMore, sendContinue, handOnRequest, answerEarly, close };

// One connection's request while it is read; owned by the reading coroutine. Its share
// points back at it, so it never moves.
class Reading {
public:
    Reading(std::shared_ptr<tcp::socket> socket, bool loopback, std::string address,
            ReadBudget& budget)
        : socket_(std::move(socket))
        , parser_(loopback)
        , address_(std::move(address))
        , share_(budget, [this] { drop(); }) {}
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    // False when the budget had to drop this very connection to make room.
    bool feed(std::string_view bytes) {
        parser_.feed(bytes);
        return share_.hold(parser_.held());
    }
    Next next(const HeadCheck& check);
    ReadOutcome request() { return {std::move(parser_.request()), std::nullopt}; }
    ReadOutcome earlyAnswer() { return {std::nullopt, std::move(answer_), parser_.stillToCome()}; }

private:
    // The budget's way of ending this connection from another one's read: the socket's
    // close wakes the reading coroutine, which then finds nothing more to read.
    void drop() {
        parser_.discard();
        error_code ignored;
        socket_->close(ignored);
    }

    std::shared_ptr<tcp::socket> socket_;
    RequestParser parser_;
    std::string address_;
    ReadBudget::Share share_;
    bool headChecked_ = false;
    std::optional<HTTPResponse> answer_;
};

Next Reading::next(const HeadCheck& check) {
    using State = RequestParser::State;
    const State state = parser_.state();
    if (state == State::unsupported) {
        answer_ = HTTPResponse::json(501, {{"error", "unsupported transfer coding"}});
        return Next::answerEarly;
    }
    if (state == State::head || state == State::ignored) return Next::readMore;
    if (state != State::body && state != State::complete) return Next::close;
    if (!headChecked_) {
        headChecked_ = true;
        parser_.request().remoteAddress = std::move(address_);
        HeadVerdict verdict = check ? check(parser_.request()) : HeadVerdict{};
        if (verdict.refusal) {
            answer_ = std::move(verdict.refusal);
            return Next::answerEarly;
        }
        if (verdict.trusted) share_.trust();
        if (state == State::body && parser_.expectsContinue()) return Next::sendContinue;
    }
    return state == State::complete ? Next::handOnRequest : Next::readMore;
}

} // namespace

asio::awaitable<ReadOutcome> readRequest(std::shared_ptr<tcp::socket> socket, bool loopback,
                                         std::string address, std::shared_ptr<ReadBudget> budget,
                                         std::shared_ptr<const HeadCheck> check,
                                         std::function<void()> beforeWaiting) {
    error_code error;
    socket->non_blocking(true, error);
    // On the heap: clang 14 can keep a local whose address escapes out of the coroutine's
    // frame, which loses it across a suspension.
    auto reading = std::make_unique<Reading>(socket, loopback, std::move(address), *budget);
    bool drained = false;
    for (;;) {
        // Readiness is reported once per arrival, so wait only when nothing is left unread.
        if (drained && beforeWaiting) std::exchange(beforeWaiting, nullptr)();
        if (drained) std::tie(error) = co_await socket->async_wait(tcp::socket::wait_read, noThrow);
        if (error) co_return ReadOutcome{};
        std::span<char> area = budget->readArea();
        std::size_t received = socket->read_some(asio::buffer(area.data(), area.size()), error);
        drained = received < area.size();
        if (error == asio::error::would_block) {
            error = {};
            continue;
        }
        if (error || !reading->feed({area.data(), received})) co_return ReadOutcome{};
        switch (reading->next(*check)) {
        case Next::readMore:
            break;
        case Next::sendContinue:
            std::tie(error, std::ignore) =
                co_await asio::async_write(*socket, asio::buffer(continueBytes), noThrow);
            if (error) co_return ReadOutcome{};
            break;
        case Next::handOnRequest:
            co_return reading->request();
        case Next::answerEarly:
            co_return reading->earlyAnswer();
        case Next::close:
            co_return ReadOutcome{};
        }
    }
}

} // namespace pavix
