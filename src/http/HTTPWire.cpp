#include "http/HTTPWire.h"

namespace pavix {

std::string_view reasonPhrase(std::int64_t status) {
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 501:
        return "Not Implemented";
    default:
        return "Error";
    }
}

std::string jsonResponseBytes(std::int64_t status, std::string_view body) {
    std::string bytes = "HTTP/1.1 " + std::to_string(status) + " ";
    bytes += reasonPhrase(status);
    bytes += "\r\nContent-Type: application/json\r\nContent-Length: ";
    bytes += std::to_string(body.size());
    bytes += "\r\nConnection: close\r\n\r\n";
    bytes += body;
    return bytes;
}

std::string emptyResponseBytes(std::int64_t status) {
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status)) +
           "\r\nConnection: close\r\n\r\n";
}

} // namespace pavix
