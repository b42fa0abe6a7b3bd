// Feeds arbitrary bytes to the approval tool as one input line and checks what every answer
// promises: one line of JSON carrying the id, and for a call the decision that was asked for.
#include "mcp/MCPMessages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace pavix::MCPApprove;
using nlohmann::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Message message =
        readMessage(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto choice = size % 2 == 0 ? pavix::ApprovalChoice::deny : pavix::ApprovalChoice::once;
    std::string reply = message.reply;
    if (message.kind == Message::Kind::call) {
        if (!message.input.is_object() || approvalPostBody("run", message).empty()) std::abort();
        reply = callReply(message, choice).value_or("");
    } else if (message.kind != Message::Kind::answered) {
        return 0;
    }
    if (reply.empty() || reply.find('\n') != reply.size() - 1) std::abort();
    json parsed = json::parse(reply, nullptr, false);
    if (!parsed.is_object() || parsed.value("jsonrpc", "") != "2.0" || !parsed.contains("id"))
        std::abort();
    if (parsed.contains("result") == parsed.contains("error")) std::abort();
    if (message.kind == Message::Kind::call) {
        json decision = json::parse(parsed["result"]["content"][0]["text"].get<std::string>());
        if (decision["behavior"] != (size % 2 == 0 ? "deny" : "allow")) std::abort();
    }
    return 0;
}
