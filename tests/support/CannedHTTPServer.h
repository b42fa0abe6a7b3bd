#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace pavix::test {

struct RecordedRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers; ///< names in lower case, values trimmed
    std::string body;
};

/// "HTTP/1.1 " + `status` with a JSON content type, Content-Length and Connection: close.
std::string httpResponse(const std::string& status, const std::string& body);

/// A loopback HTTP server on a thread of its own that answers successive connections with
/// `responses`, one each and in order, then stops accepting. An empty response closes the
/// connection without answering. Each request is recorded before it is answered, so a client
/// that got its answer will find its request in requests().
class CannedHTTPServer {
public:
    explicit CannedHTTPServer(std::vector<std::string> responses);
    ~CannedHTTPServer();
    CannedHTTPServer(const CannedHTTPServer&) = delete;
    CannedHTTPServer& operator=(const CannedHTTPServer&) = delete;

    std::uint16_t port() const { return port_; }

    /// Stops the server and returns every request it received.
    std::vector<RecordedRequest> requests();

private:
    void serve();
    void stop();

    int listener_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::vector<std::string> responses_;
    std::vector<RecordedRequest> requests_;
    std::thread thread_;
};

/// A loopback port that refuses connections: bound, never listening, for the object's life.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return port_; }

private:
    int socket_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace pavix::test
