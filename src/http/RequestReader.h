#pragma once

#include "http/HTTPRequest.h"
#include "http/HTTPResponse.h"
#include "http/ReadBudget.h"
#include "util/Async.h"

#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pavix {

/// How reading a connection ended: with a request for the API, with an answer given
/// from the head alone (the body left unread), or with neither (close unanswered).
struct ReadOutcome {
    std::optional<HTTPRequest> request;
    std::optional<HTTPResponse> answer;
    std::size_t unread = 0; ///< with an answer: the most bytes of the request still to come
};

/// Reads one request from `socket`. Nothing is read before the peer sends, and bytes
/// go from the budget's read area straight into the parser, so an idle connection holds
/// no buffer. Once the head is complete `check` decides whether the body is read at
/// all; then a head that carries "Expect: 100-continue" gets "100 Continue" unless its
/// body has already arrived. A transfer coding other than chunked is answered 501.
/// The request's memory counts against `budget` until it is handed on; a connection
/// the budget drops ends unanswered. `loopback` says whether the peer is on this computer,
/// `address` what its IP address is (both reach the request and so the check).
/// What is there is read at once; `beforeWaiting` runs once, before the first wait for
/// more (a request that arrived whole never waits).
asio::awaitable<ReadOutcome> readRequest(std::shared_ptr<asio::ip::tcp::socket> socket,
                                         bool loopback, std::string address,
                                         std::shared_ptr<ReadBudget> budget,
                                         std::shared_ptr<const HeadCheck> check,
                                         std::function<void()> beforeWaiting);

} // namespace pavix
