// Feeds arbitrary bytes to the request parser and checks what it promises about a
// request it accepts.
#include "http/RequestParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace pavix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto parsed = parseRequest(bytes, size % 2 == 0);
    if (parsed.state != ParsedRequest::State::complete) return 0;
    const HTTPRequest& request = parsed.request;
    if (request.method.empty() || request.remoteIsLoopback != (size % 2 == 0)) std::abort();
    for (char c : request.method)
        if (c >= 'a' && c <= 'z') std::abort();
    for (const auto& [name, value] : request.headers)
        for (char c : name)
            if (c >= 'A' && c <= 'Z') std::abort();
    auto head = bytes.find("\r\n\r\n");
    if (head == std::string_view::npos ||
        bytes.substr(head + 4, request.body.size()) != request.body)
        std::abort();
    (void)request.bearer();
    // The request alone, without whatever follows it, parses as complete too.
    std::size_t whole = head + 4 + request.body.size();
    if (parseRequest(bytes.substr(0, whole), false).state != ParsedRequest::State::complete)
        std::abort();
    return 0;
}
