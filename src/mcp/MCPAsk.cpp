#include "mcp/MCPApprove.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <memory>

namespace pavix::MCPApprove {

namespace {

using nlohmann::json;

// The person has up to 600 seconds to decide; the service answers "deny" itself then.
constexpr long requestSeconds = 660;
// Loopback connects at once or is refused; only a wedged service makes this wait.
constexpr long connectSeconds = 30;
// A choice is a few bytes; anything this large is not an answer.
constexpr std::size_t maximumAnswerBytes = 1 << 20;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct HeadersDeleter {
    void operator()(curl_slist* headers) const { curl_slist_free_all(headers); }
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* into) {
    auto& answer = *static_cast<std::string*>(into);
    std::size_t bytes = size * count;
    if (answer.size() + bytes > maximumAnswerBytes) return 0; // ends the transfer with an error
    answer.append(data, bytes);
    return bytes;
}

bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

/// The request body; empty when a text (say, the run from the command line) is not UTF-8.
std::string requestBody(const std::string& run, const std::string& tool, const json& input) {
    json body = {{"run", run}, {"tool_name", tool}, {"input", input}};
    try {
        return body.dump();
    } catch (const json::exception&) {
        return {};
    }
}

std::string choiceIn(const std::string& answer) {
    json parsed = json::parse(answer, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return "deny";
    auto choice = parsed.find("choice");
    if (choice == parsed.end() || !choice->is_string()) return "deny";
    return choice->get<std::string>();
}

} // namespace

std::optional<std::string> approvalURL(std::string_view port) {
    if (port.empty() || port.size() > 5) return std::nullopt;
    unsigned number = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > 65535) return std::nullopt;
    return "http://127.0.0.1:" + std::string(port) + "/internal/approve";
}

std::string ask(const std::string& port, const std::string& key, const std::string& run,
                const std::string& tool, const json& input) {
    std::optional<std::string> url = approvalURL(port);
    if (!url || !curlReady()) return "deny";
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return "deny";

    curl_slist* list = nullptr;
    // "Expect:" keeps libcurl from holding a larger body back for a 100-continue.
    for (const std::string& header : {std::string("Content-Type: application/json"),
                                      "Authorization: Bearer " + key, std::string("Expect:")}) {
        curl_slist* longer = curl_slist_append(list, header.c_str());
        if (!longer) {
            curl_slist_free_all(list);
            return "deny";
        }
        list = longer;
    }
    std::unique_ptr<curl_slist, HeadersDeleter> headers(list);

    const std::string body = requestBody(run, tool, input);
    std::string answer;
    CURL* e = easy.get();
    bool configured = curl_easy_setopt(e, CURLOPT_URL, url->c_str()) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_NOPROXY, "*") == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_POST, 1L) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data()) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                       static_cast<curl_off_t>(body.size())) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_TIMEOUT, requestSeconds) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, connectSeconds) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, collect) == CURLE_OK &&
                      curl_easy_setopt(e, CURLOPT_WRITEDATA, &answer) == CURLE_OK;
    if (!configured || curl_easy_perform(e) != CURLE_OK) return "deny";
    return choiceIn(answer);
}

} // namespace pavix::MCPApprove
