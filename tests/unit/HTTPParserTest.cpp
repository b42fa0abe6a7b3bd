#include "http/RequestParser.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace pavix;
using State = RequestParser::State;

namespace {

// Feeds `bytes` in pieces of `piece` bytes (all at once by default), as a connection's
// reads would bring them.
RequestParser fedInPieces(std::string_view bytes, std::size_t piece = SIZE_MAX,
                          bool loopback = false) {
    RequestParser parser(loopback);
    for (std::size_t at = 0; at < bytes.size(); at += std::min(piece, bytes.size()))
        parser.feed(bytes.substr(at, piece));
    return parser;
}

HTTPRequest parsed(std::string_view bytes, bool loopback = false) {
    auto parser = fedInPieces(bytes, SIZE_MAX, loopback);
    EXPECT_EQ(parser.state(), State::complete) << bytes;
    return parser.request();
}

} // namespace

TEST(RequestParser, HeadAndTarget) {
    auto request = parsed("  get    /v1/a%20b?after=3&x&k=1&k=2#f HTTP/1.1 more\r\n"
                          "Host : example\r\nX-Tab:\t spaced \t\r\nno colon\r\n"
                          "Authorization: Bearer one\r\nAUTHORIZATION: Bearer two\r\n"
                          "X-Unicode:\u00a0value\u2003\r\n\r\n",
                          true);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/v1/a b");
    EXPECT_EQ(request.query,
              (std::map<std::string, std::string>{{"after", "3"}, {"x", ""}, {"k", "2"}}));
    EXPECT_TRUE(request.remoteIsLoopback);
    EXPECT_EQ(request.headers,
              (std::map<std::string, std::string>{{"host ", "example"},
                                                  {"x-tab", "spaced"},
                                                  {"authorization", "Bearer two"},
                                                  {"x-unicode", "\u00a0value\u2003"}}))
        << "only spaces and tabs are HTTP's white space";
    EXPECT_EQ(*request.bearer(), "two");
    // An escaped "/" never becomes a separator; a target that is not a URI stays whole.
    EXPECT_EQ(parsed("GET /s/%252F%00 HTTP/1.1\r\n\r\n").path, std::string("/s/%2F\0", 7));
}

// Every case ends the same however reads split its bytes.
TEST(RequestParser, BodiesHoweverReadsSplitThem) {
    const std::string post = "POST /r HTTP/1.1\r\n", te = post + "Transfer-Encoding: ";
    const std::vector<std::tuple<std::string, State, std::string>> cases = {
        {post + "CONTENT-LENGTH: 5\r\n\r\nabcdeGET / HTTP/1.1\r\n\r\n", State::complete, "abcde"},
        {post + "Content-Length: 5\r\n\r\nabcd", State::body, "abcd"},
        {post + "Content-Length: 0x10\r\n\r\nab", State::complete, ""},
        {post + "Content-Length: -9223372036854775808\r\n\r\nab", State::malformed, ""},
        {post + "Content-Length: 3\r\ncontent-length:+03\r\n\r\nabc", State::complete, "abc"},
        {post + "Content-Length: 5\r\nContent-Length: abc\r\n\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\n5\r\nhello\r\n1;a=b; c\r\n!\r\nA \r\n0123456789\r\n0\r\n\r\nX",
         State::complete, "hello!0123456789"},
        {te + "Chunked\r\n\r\n0003\r\nabc\r\n0;x\r\nT: 1\r\nU: 2\r\n\r\n", State::complete, "abc"},
        {te + "chunked\r\n\r\n5\r\nhel", State::body, "hel"},
        {te + "chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n", State::malformed, "abc"},
        {te + "chunked\r\n\r\n3\nabc\r\n0\r\n\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\n;x\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\n1 x\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\nffffffffffffffffffff\r\n", State::malformed, ""},
        {te + "chunked\r\n\r\n0\r\nT: 1\n\r\n", State::malformed, ""},
        {te + "gzip, chunked\r\n\r\n0\r\n\r\n", State::unsupported, ""},
        {te + "chunked\r\nTransfer-Encoding: chunked\r\n\r\n", State::unsupported, ""},
        // A head that is not UTF-8 or lacks a target is never a request, whatever follows.
        {"GET /\xff HTTP/1.1\r\n\r\n", State::ignored, ""},
        {"GET\r\n\r\nGET / HTTP/1.1\r\n\r\n", State::ignored, ""},
        {"GET\t/x\r\n\r\n", State::ignored, ""},
    };
    for (const auto& [bytes, state, body] : cases) {
        for (std::size_t piece = 1; piece <= bytes.size(); ++piece) {
            auto split = fedInPieces(bytes, piece);
            ASSERT_EQ(split.state(), state) << bytes << " in pieces of " << piece;
            ASSERT_EQ(split.request().body, body) << bytes << " in pieces of " << piece;
        }
    }
}

// Head, framing and body together: 2,000,000 bytes are a request, one more is not,
// whether the last read brings one byte or all of them. The figure is written out: the
// phone relies on it, whatever the constant says.
TEST(RequestParser, TheCapIsExactHoweverReadsSplitTheBytes) {
    constexpr std::size_t cap = 2'000'000;
    for (std::size_t total : {cap, cap + 1}) {
        // The body's length has 7 digits; a chunk's size 6, and 9 bytes frame the chunks.
        std::string length = "POST / HTTP/1.1\r\nContent-Length: 1234567\r\n\r\n";
        length.replace(33, 7, std::to_string(total - length.size()));
        std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
        std::size_t data = total - chunked.size() - 15;
        char size[8];
        std::snprintf(size, sizeof size, "%06zx", data);
        for (const std::string& bytes :
             {length + std::string(total - length.size(), 'b'),
              chunked + size + "\r\n" + std::string(data, 'b') + "\r\n0\r\n\r\n",
              "GET / HTTP/1.1\r\nX: " + std::string(total - 23, 'h') + "\r\n\r\n"}) {
            ASSERT_EQ(bytes.size(), total);
            for (std::size_t piece : {std::size_t{1}, std::size_t{65'536}, total - 1, total})
                EXPECT_EQ(fedInPieces(bytes, piece).state(),
                          total > cap ? State::tooLarge : State::complete)
                    << bytes.substr(0, 40) << " in pieces of " << piece;
        }
    }
    // A head that is not a request counts all the same; a length past the cap is too large
    // before its body comes.
    EXPECT_EQ(fedInPieces("GET\r\n\r\n" + std::string(cap - 6, 'i')).state(), State::tooLarge);
    EXPECT_EQ(fedInPieces("POST / HTTP/1.1\r\nContent-Length: 1999957\r\n\r\n").state(),
              State::tooLarge);
}
