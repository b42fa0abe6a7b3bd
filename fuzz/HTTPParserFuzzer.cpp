// Feeds arbitrary bytes to the request parser, whole and a byte at a time, and checks
// what it promises about the request it finds.
#include "http/RequestParser.h"
#include "util/Text.h"

#include <algorithm>
#include <cstdlib>

using namespace pavix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    RequestParser whole(size % 2 == 0);
    const std::size_t used = whole.feed(bytes);
    // However reads split the bytes, the outcome is the same.
    RequestParser bytewise(size % 2 == 0);
    std::size_t taken = 0;
    for (char c : bytes)
        taken += bytewise.feed(std::string_view(&c, 1));
    if (bytewise.state() != whole.state() || taken != used ||
        bytewise.request().body != whole.request().body)
        std::abort();
    if (whole.state() != RequestParser::State::complete) return 0;

    const HTTPRequest& request = whole.request();
    auto head = bytes.find("\r\n\r\n");
    bool chunked = request.headers.count("transfer-encoding");
    if (request.method.empty() || request.remoteIsLoopback != (size % 2 == 0) ||
        request.method != toUpperASCII(request.method) || head == std::string_view::npos ||
        used > std::min(size, maxRequestBytes) || request.body.size() > used - head - 4 ||
        (!chunked && bytes.substr(head + 4, request.body.size()) != request.body))
        std::abort();
    for (const auto& [name, value] : request.headers)
        if (name != toLowerASCII(name)) std::abort();
    (void)request.bearer();
    // The request alone, without whatever follows it, parses as complete too.
    RequestParser alone(false);
    alone.feed(bytes.substr(0, used));
    if (alone.state() != whole.state()) std::abort();
    return 0;
}
