#include "http/EventStream.h"
#include "http/HTTPResponse.h"
#include "http/HTTPServer.h"
#include "http/HTTPWire.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pavix;
using nlohmann::json;

namespace {

std::string wire(const HTTPResponse& response) {
    return jsonResponseBytes(response.status(), response.body());
}

const std::string jsonHead = "\r\nContent-Type: application/json\r\nContent-Length: ";

} // namespace

TEST(ResponseBytes, ReasonPhrases) {
    std::map<std::int64_t, std::string> table{{200, "OK"},          {202, "Accepted"},
                                              {400, "Bad Request"}, {401, "Unauthorized"},
                                              {404, "Not Found"},   {405, "Method Not Allowed"},
                                              {409, "Conflict"}};
    for (const auto& [status, phrase] : table)
        EXPECT_EQ(HTTPServer::reason(status), phrase);
    for (std::int64_t other : {0, -1, 201, 418, 500, 503, 999999})
        EXPECT_EQ(HTTPServer::reason(other), "Error") << other;
}

TEST(ResponseBytes, JsonResponses) {
    EXPECT_EQ(wire(HTTPResponse::json(200, json::object())),
              "HTTP/1.1 200 OK" + jsonHead + "2\r\nConnection: close\r\n\r\n{}");
    EXPECT_EQ(wire(HTTPResponse::json(404, {{"error", "not found"}})),
              "HTTP/1.1 404 Not Found" + jsonHead +
                  "21\r\nConnection: close\r\n\r\n{\"error\":\"not found\"}");
    EXPECT_EQ(wire(HTTPResponse::json(418, json::array())),
              "HTTP/1.1 418 Error" + jsonHead + "2\r\nConnection: close\r\n\r\n[]");
    EXPECT_EQ(wire(HTTPResponse::json(-3, json::object())).substr(0, 18), "HTTP/1.1 -3 Error\r");
}

TEST(ResponseBytes, JsonBodies) {
    // Compact, "/" unescaped, non-ASCII text as UTF-8, Content-Length in bytes.
    auto response =
        HTTPResponse::json(202, {{"folder", "/Users/me/a b/\u00e9"}, {"n", 1.5}, {"ok", true}});
    std::string body = "{\"folder\":\"/Users/me/a b/\u00e9\",\"n\":1.5,\"ok\":true}";
    EXPECT_EQ(response.body(), body);
    EXPECT_EQ(wire(response), "HTTP/1.1 202 Accepted" + jsonHead + std::to_string(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body);
    // A value that cannot be serialized keeps its status and sends "{}".
    auto broken = HTTPResponse::json(409, {{"text", "bad \xff byte"}});
    EXPECT_EQ(wire(broken),
              "HTTP/1.1 409 Conflict" + jsonHead + "2\r\nConnection: close\r\n\r\n{}");
}

TEST(ResponseBytes, EventStreams) {
    EXPECT_EQ(eventStreamHead.size(), 96u);
    EXPECT_EQ(eventStreamHead, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                               "Cache-Control: no-cache\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(eventBytes("{\"event\":\"run.completed\"}"),
              "data: {\"event\":\"run.completed\"}\n\n");
    EXPECT_EQ(eventBytes("two\nlines\r\n"), "data: two\nlines\r\n\n\n");
    std::string batch;
    appendEvent(batch, "a");
    appendEvent(batch, "");
    EXPECT_EQ(batch, "data: a\n\ndata: \n\n");
}

namespace {

// Collects everything a reader yields, batch by batch, on `loop`.
std::vector<std::vector<std::string>> drain(asio::io_context& loop, EventReader reader,
                                            std::size_t maxBytes = SIZE_MAX) {
    std::vector<std::vector<std::string>> batches;
    auto collect = [](EventReader reader, std::vector<std::vector<std::string>>* batches,
                      std::size_t maxBytes) -> asio::awaitable<void> {
        for (;;) {
            auto batch = co_await reader.next(maxBytes);
            if (batch.empty()) co_return;
            std::vector<std::string> texts;
            for (auto& text : batch)
                texts.push_back(*text);
            batches->push_back(texts);
        }
    };
    asio::co_spawn(loop, collect(std::move(reader), &batches, maxBytes), asio::detached);
    loop.run();
    loop.restart();
    return batches;
}

EventText text(std::string value) {
    return std::make_shared<const std::string>(std::move(value));
}

} // namespace

TEST(EventStream, ReaderTakesEverythingQueuedThenTheEnd) {
    asio::io_context loop;
    int ends = 0;
    auto [writer, reader] = makeEventStream(loop.get_executor(), [&] { ++ends; });
    EXPECT_TRUE(writer.push(text("1")));
    EXPECT_TRUE(writer.push(text("2")));
    writer.finish();
    EXPECT_FALSE(writer.push(text("late")));
    EXPECT_EQ(drain(loop, std::move(reader)), (std::vector<std::vector<std::string>>{{"1", "2"}}));
    EXPECT_EQ(ends, 1); // the reader, done with, ends the subscription once
}

TEST(EventStream, ReaderTakesBoundedBatchesOfFramedEvents) {
    asio::io_context loop;
    auto [writer, reader] = makeEventStream(loop.get_executor());
    const std::string big(100, 'b');
    for (const std::string& value :
         {std::string("12"), std::string("34"), std::string("56"), big, std::string("7")})
        writer.push(text(value));
    writer.finish();
    // Each event is its text and 8 bytes of framing; one larger than the bound goes alone.
    EXPECT_EQ(drain(loop, std::move(reader), 20),
              (std::vector<std::vector<std::string>>{{"12", "34"}, {"56"}, {big}, {"7"}}));
}

TEST(EventStream, DroppingEveryWriterEndsTheStream) {
    asio::io_context loop;
    auto [writer, reader] = makeEventStream(loop.get_executor());
    {
        EventWriter copy = writer;
        writer = EventWriter();
        copy.push(text("last"));
    }
    EXPECT_EQ(drain(loop, std::move(reader)), (std::vector<std::vector<std::string>>{{"last"}}));
}
