#include "http/HTTPRequest.h"

#include "util/Text.h"

namespace pavix {

std::optional<std::string> HTTPRequest::bearer() const {
    auto header = headers.find("authorization");
    if (header == headers.end()) return std::nullopt;
    // In place: a stranger's Authorization line may be megabytes long.
    std::string_view value = header->second;
    constexpr std::string_view scheme = "bearer ";
    if (value.size() < scheme.size() || toLowerASCII(value.substr(0, scheme.size())) != scheme)
        return std::nullopt;
    std::string_view token = trimSpaces(value.substr(scheme.size()));
    if (token.empty()) return std::nullopt;
    return std::string(token);
}

} // namespace pavix
