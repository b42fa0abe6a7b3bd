// Feeds arbitrary bytes to the approval tool as one input line and checks what every reply
// promises: one line of JSON carrying the id, and at most one question per line.
#include "mcp/MCPApprove.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace pavix;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    int questions = 0;
    auto reply = MCPApprove::handleMessage(line, [&](const std::string&, const json& input) {
        ++questions;
        if (!input.is_object()) std::abort();
        return size % 2 == 0 ? "deny" : "allow";
    });
    if (questions > 1) std::abort();
    if (!reply) {
        if (questions != 0) std::abort();
        return 0;
    }
    if (reply->empty() || reply->find('\n') != reply->size() - 1) std::abort();
    json parsed = json::parse(*reply, nullptr, false);
    if (!parsed.is_object() || parsed.value("jsonrpc", "") != "2.0" || !parsed.contains("id"))
        std::abort();
    if (parsed.contains("result") == parsed.contains("error")) std::abort();
    if (questions == 1) {
        json decision = json::parse(parsed["result"]["content"][0]["text"].get<std::string>());
        if (decision["behavior"] != (size % 2 == 0 ? "deny" : "allow")) std::abort();
    }
    return 0;
}
