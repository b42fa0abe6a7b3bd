// Feeds arbitrary bytes to the request parser, whole and a byte at a time, and checks
// what it promises about the request it finds.
#include "http/RequestParser.h"
#include "util/Text.h"

#include <algorithm>
#include <cstdlib>

using namespace pavix;

namespace {

struct Parsed {
    RequestParser::State state;
    HTTPRequest request;
    std::size_t size; ///< the bytes the request took
};

Parsed parseWhole(std::string_view bytes, bool remoteIsLoopback) {
    RequestParser parser(remoteIsLoopback);
    std::size_t size = parser.feed(bytes);
    return {parser.state(), std::move(parser.request()), size};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto parsed = parseWhole(bytes, size % 2 == 0);
    // However reads split the bytes, the outcome is the same.
    RequestParser bytewise(size % 2 == 0);
    std::size_t taken = 0;
    for (char c : bytes)
        taken += bytewise.feed(std::string_view(&c, 1));
    if (bytewise.state() != parsed.state || taken != parsed.size ||
        bytewise.request().body != parsed.request.body)
        std::abort();
    if (parsed.state != RequestParser::State::complete) return 0;

    const HTTPRequest& request = parsed.request;
    auto head = bytes.find("\r\n\r\n");
    bool chunked = request.headers.count("transfer-encoding");
    if (request.method.empty() || request.remoteIsLoopback != (size % 2 == 0) ||
        request.method != toUpperASCII(request.method) || head == std::string_view::npos ||
        parsed.size > std::min(size, maxRequestBytes) ||
        request.body.size() > parsed.size - head - 4 ||
        (!chunked && bytes.substr(head + 4, request.body.size()) != request.body))
        std::abort();
    for (const auto& [name, value] : request.headers)
        if (name != toLowerASCII(name)) std::abort();
    (void)request.bearer();
    // The request alone, without whatever follows it, parses as complete too.
    if (parseWhole(bytes.substr(0, parsed.size), false).state != parsed.state) std::abort();
    return 0;
}
