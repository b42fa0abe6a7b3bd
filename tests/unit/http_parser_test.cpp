#include "http/HTTPServer.h"
#include "http/RequestParser.h"

#include <gtest/gtest.h>

using namespace pavix;
using State = ParsedRequest::State;

namespace {

HTTPRequest parsed(std::string_view bytes, bool loopback = false) {
    auto result = parseRequest(bytes, loopback);
    EXPECT_EQ(result.state, State::complete) << bytes;
    return result.request;
}

State stateOf(std::string_view bytes) {
    return parseRequest(bytes, false).state;
}

} // namespace

TEST(RequestParser, RequestLine) {
    auto request = parsed("get /v1/health HTTP/1.1\r\n\r\n", true);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/v1/health");
    EXPECT_TRUE(request.remoteIsLoopback);
    EXPECT_TRUE(request.body.empty());

    // Two words suffice, several spaces act as one, and any method word passes.
    EXPECT_EQ(parsed("  bReW    /pot  \r\n\r\n").method, "BREW");
    EXPECT_EQ(parsed("GET /x\r\n\r\n").path, "/x");
    EXPECT_EQ(parsed("GET /x HTTP/1.1 extra words\r\n\r\n").path, "/x");

    // One word, or words separated by tabs only, never make a request.
    EXPECT_EQ(stateOf("GET\r\n\r\n"), State::incomplete);
    EXPECT_EQ(stateOf("GET\t/x\r\n\r\n"), State::incomplete);
    EXPECT_EQ(stateOf("\r\n\r\n"), State::incomplete);
}

TEST(RequestParser, WaitsForTheWholeHeadAndBody) {
    EXPECT_EQ(stateOf(""), State::incomplete);
    EXPECT_EQ(stateOf("GET / HTTP/1.1\r\nHost: x\r\n"), State::incomplete);
    EXPECT_EQ(stateOf("GET / HTTP/1.1\r\nHost: x\r\n\r"), State::incomplete);
    std::string post = "POST /r HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
    EXPECT_EQ(stateOf(post + "abcd"), State::incomplete);
    EXPECT_EQ(parsed(post + "abcde").body, "abcde");
    // Surplus bytes and a second request behind the first are not part of it.
    EXPECT_EQ(parsed("POST /r HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789ABCDE").body,
              "0123456789");
    auto first = parsed("GET /a HTTP/1.1\r\n\r\nGET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(first.path, "/a");
    EXPECT_TRUE(first.body.empty());
}

TEST(RequestParser, InvalidUtf8HeadIsNeverARequest) {
    EXPECT_EQ(stateOf("GET /\xff HTTP/1.1\r\n\r\n"), State::incomplete);
    EXPECT_EQ(stateOf("GET / HTTP/1.1\r\nX: \xc3\r\n\r\n"), State::incomplete);
    // The body is bytes, not text.
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xff\xfe").body, "\xff\xfe");
}

TEST(RequestParser, Headers) {
    auto request = parsed("GET / HTTP/1.1\r\n"
                          "Host : example\r\n"
                          "X-Tab:\t spaced value \t\r\n"
                          "no colon here\r\n"
                          "Authorization: Bearer one\r\n"
                          "AUTHORIZATION: Bearer two\r\n"
                          "X-Empty:\r\n"
                          "X-Colons: a:b:c\r\n"
                          "X-Unicode:\u00a0\u3000value\u2003\r\n\r\n");
    EXPECT_EQ(request.headers.count("host"), 0u);
    EXPECT_EQ(request.headers.at("host "), "example");
    EXPECT_EQ(request.headers.at("x-tab"), "spaced value");
    EXPECT_EQ(request.headers.at("authorization"), "Bearer two");
    EXPECT_EQ(*request.bearer(), "two");
    EXPECT_EQ(request.headers.at("x-empty"), "");
    EXPECT_EQ(request.headers.at("x-colons"), "a:b:c");
    EXPECT_EQ(request.headers.at("x-unicode"), "value");
    EXPECT_EQ(request.headers.size(), 6u);
}

TEST(RequestParser, ContentLengthGrammar) {
    EXPECT_EQ(contentLength("0"), 0);
    EXPECT_EQ(contentLength("42"), 42);
    EXPECT_EQ(contentLength("+5"), 5);
    EXPECT_EQ(contentLength("007"), 7);
    EXPECT_EQ(contentLength("-1"), -1);
    EXPECT_EQ(contentLength("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(contentLength("-9223372036854775808"), INT64_MIN);
    for (const char* zero : {"", "abc", "0x10", "+", "-", "+-5", "--5", "5 ", "1e3", "1.0",
                             "9223372036854775808", "-9223372036854775809", "\u0661"})
        EXPECT_EQ(contentLength(zero), 0) << zero;

    // Capitalised names count; a value that is not a number means no body.
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nabc").body, "abc");
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\nxyz").body, "");
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\nxyz").body, "");
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n12345").body, "12345");
    EXPECT_EQ(stateOf("POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\nx"),
              State::incomplete);
}

TEST(RequestParser, ContentLengthThatCannotFrameOneBodyIsMalformed) {
    // Negative, or repeated with another value: no single reading of the body exists.
    using Lengths = std::vector<std::string>;
    for (const Lengths& lengths :
         {Lengths{"-1"}, Lengths{"-9223372036854775808"}, Lengths{"5", "6"}, Lengths{"-1", "1"},
          Lengths{"1", "-1"}, Lengths{"-1", "-1"}, Lengths{"5", "abc"}, Lengths{"3", "3", "4"}}) {
        std::string request = "POST / HTTP/1.1\r\n";
        for (std::size_t i = 0; i < lengths.size(); ++i)
            request += (i % 2 ? "content-LENGTH: " : "Content-Length: ") + lengths[i] + "\r\n";
        EXPECT_EQ(stateOf(request + "\r\nabcdef"), State::malformed) << request;
    }
    // Repeats that agree in value frame one body however they are written.
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length:+03\r\n\r\nabcd").body,
              "abc");
    EXPECT_EQ(parsed("POST / HTTP/1.1\r\nContent-Length: x\r\nContent-Length: 0\r\n\r\nab").body,
              "");
}

TEST(RequestParser, SaysWhenParsingAgainCanChangeTheOutcome) {
    EXPECT_EQ(parseRequest("GET / HT", false).parseAgainAt, 9u);
    std::string head = "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n";
    EXPECT_EQ(parseRequest(head + "abc", false).parseAgainAt, head.size() + 100);
    std::string huge = "POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n";
    EXPECT_EQ(parseRequest(huge, false).parseAgainAt, huge.size() + std::size_t{INT64_MAX});
    // A head that is not a request never becomes one, whatever follows.
    for (std::string_view never :
         {"GET /\xff HTTP/1.1\r\n\r\n", "GET\r\n\r\nGET / HTTP/1.1\r\n\r\n"}) {
        auto result = parseRequest(never, false);
        EXPECT_EQ(result.state, State::incomplete);
        EXPECT_EQ(result.parseAgainAt, SIZE_MAX);
    }
}

TEST(RequestParser, Target) {
    auto request = parsed("GET /v1/runs?after=3&x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(request.path, "/v1/runs");
    EXPECT_EQ(request.query, (std::map<std::string, std::string>{{"after", "3"}, {"x", ""}}));

    EXPECT_EQ(parsed("GET /a%20b/%C3%A9 HTTP/1.1\r\n\r\n").path, "/a b/\u00e9");
    EXPECT_EQ(parsed("GET /?k=1&k=2 HTTP/1.1\r\n\r\n").query.at("k"), "2");
    auto decoded = parsed("GET /?a+b=c+d&e%3D=%26f HTTP/1.1\r\n\r\n").query;
    EXPECT_EQ(decoded, (std::map<std::string, std::string>{{"a+b", "c+d"}, {"e=", "&f"}}));
    EXPECT_TRUE(parsed("GET /plain HTTP/1.1\r\n\r\n").query.empty());
    EXPECT_EQ(parsed("GET http://host:1/abs?q=1 HTTP/1.1\r\n\r\n").path, "/abs");
    EXPECT_EQ(parsed("GET /f?a=1#b=2 HTTP/1.1\r\n\r\n").query.size(), 1u);
    auto empty = parsed("GET /e?#x?y HTTP/1.1\r\n\r\n");
    EXPECT_EQ(empty.path, "/e");
    EXPECT_TRUE(empty.query.empty());
    EXPECT_EQ(parsed("GET /?&a=&&=b HTTP/1.1\r\n\r\n").query,
              (std::map<std::string, std::string>{{"a", ""}, {"", "b"}}));

    // An escaped "/" never becomes a separator: such a path stays as received.
    EXPECT_EQ(parsed("GET /api/sessions/a%2Fb/messages HTTP/1.1\r\n\r\n").path,
              "/api/sessions/a%2Fb/messages");
    EXPECT_EQ(parsed("GET /s/%c3%a9%2f..%2F?q=%2F HTTP/1.1\r\n\r\n").path, "/s/%c3%a9%2f..%2F");
    EXPECT_EQ(parsed("GET /s/%252F%00 HTTP/1.1\r\n\r\n").path, std::string("/s/%2F\0", 7));

    // Not a URI reference: the whole target is the path and there is no query.
    for (std::string target : {"/a b%zz?x=1", "/%", "/a?b=%g0", "/{x}?y=1", "/a|b"}) {
        auto kept = parsed("GET " + target + " HTTP/1.1\r\n\r\n");
        if (target.find(' ') != std::string::npos) continue; // split by the request line
        EXPECT_EQ(kept.path, target);
        EXPECT_TRUE(kept.query.empty()) << target;
    }
}

TEST(RequestParser, LoopbackAddresses) {
    for (const char* yes : {"127.0.0.1", "::1", "::ffff:127.0.0.1", "::ffff:127.1.2.3"})
        EXPECT_TRUE(isLoopbackAddress(yes)) << yes;
    for (const char* no : {"192.168.1.10", "127.0.0.2", "::ffff:192.168.1.10", "::2", "", "0::1",
                           "127.0.0.1:80", "::ffff:7f00:1"})
        EXPECT_FALSE(isLoopbackAddress(no)) << no;
}

TEST(ConnectionReads, ParseComesBeforeTheEndAndTheCap) {
    EXPECT_EQ(afterRead(State::complete, 10, true), AfterRead::respond);
    EXPECT_EQ(afterRead(State::complete, maxRequestBuffer + readChunkSize, false),
              AfterRead::respond);
    EXPECT_EQ(afterRead(State::incomplete, maxRequestBuffer, false), AfterRead::readMore);
    EXPECT_EQ(afterRead(State::incomplete, maxRequestBuffer + 1, false), AfterRead::close);
    EXPECT_EQ(afterRead(State::incomplete, 0, true), AfterRead::close);
    EXPECT_EQ(afterRead(State::malformed, 40, false), AfterRead::close);
}
