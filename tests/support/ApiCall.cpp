#include "ApiCall.h"

#include <boost/asio/co_spawn.hpp>

#include <chrono>
#include <exception>
#include <stdexcept>

namespace pavix::test {

HTTPRequest apiRequest(std::string method, std::string path, std::optional<std::string> key,
                       std::string body, bool loopback) {
    HTTPRequest request;
    request.method = std::move(method);
    request.path = std::move(path);
    if (key) request.headers["authorization"] = "Bearer " + *key;
    request.body = std::move(body);
    request.remoteIsLoopback = loopback;
    return request;
}

namespace {

asio::awaitable<void> answer(Bridge* bridge, HTTPRequest request,
                             std::optional<HTTPResponse>* response) {
    auto answering = bridge->handle(std::move(request)); // no temporaries across co_await (g++ 12)
    response->emplace(co_await std::move(answering));
}

} // namespace

HTTPResponse respond(boost::asio::io_context& loop, Bridge& bridge, HTTPRequest request) {
    std::optional<HTTPResponse> response;
    std::exception_ptr failure;
    bool finished = false;
    boost::asio::co_spawn(loop, answer(&bridge, std::move(request), &response),
                          [&](std::exception_ptr error) {
                              failure = error;
                              finished = true;
                          });
    loop.restart();
    while (!finished)
        if (loop.run_one_for(std::chrono::seconds(30)) == 0)
            throw std::runtime_error("the Bridge did not answer");
    if (failure) std::rethrow_exception(failure);
    return std::move(*response);
}

nlohmann::json bodyOf(const HTTPResponse& response) {
    return nlohmann::json::parse(response.body());
}

void settle(boost::asio::io_context& loop) {
    loop.restart();
    loop.poll();
}

} // namespace pavix::test
