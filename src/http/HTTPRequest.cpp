#include "http/HTTPRequest.h"

#include "util/Text.h"

namespace pavix {

std::optional<std::string> HTTPRequest::bearer() const {
    auto header = headers.find("authorization");
    if (header == headers.end()) return std::nullopt;
    if (toLowerASCII(header->second).rfind("bearer ", 0) != 0) return std::nullopt;
    std::string token = trimSpaces(std::string_view(header->second).substr(7));
    if (token.empty()) return std::nullopt;
    return token;
}

} // namespace pavix
