// Claude Code's output lines as the run hears them: one table of transcripts, each fed
// whole and cut byte by byte, which must tell the same.
#include "run/OutputTranslator.h"
#include "TranslatorTranscript.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using namespace pavix;

namespace {

std::vector<std::string> hear(const std::string& output, std::size_t cut) {
    Transcript heard; // which also checks each delta's text against its escaped form
    OutputTranslator translator(heard);
    for (std::size_t at = 0; at < output.size(); at += cut)
        translator.consume(std::string_view(output).substr(at, cut));
    return heard.heard;
}

std::string delta(const std::string& text, const std::string& kind = "text_delta") {
    return R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,"delta":{"type":")" +
           kind + R"(","text":)" + text + "}}}\n";
}

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

struct Row {
    const char* what;
    std::string output;
    std::vector<std::string> heard;
};

} // namespace

TEST(OutputTranslator, TellsTheRunWhatEachLineSays) {
    const std::string toolUse =
        R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"t1","name":"mcp__fs__read","input":{"path":"/a","extra":)" +
        nested(100000) + "}}]}}\n";
    const Row rows[] = {
        {"deltas as they come, re-escaped as the serializer writes them",
         delta(R"("plain / é")") + delta(R"("q\"\u0001\/\n\u00e9")"),
         {"delta plain / é", "delta q\\\"\\u0001/\\né"}},
        {"other deltas and events are not text",
         delta(R"("thinking")", "thinking_delta") +
             R"({"type":"stream_event","event":{"type":"message_start"}})"
             "\n",
         {}},
        {"an assistant line repeats streamed text, else it is the text",
         delta(R"("a")") +
             R"({"type":"assistant","message":{"content":[{"type":"text","text":"a"}]}})"
             "\n" +
             R"({"type":"assistant","message":{"content":[{"type":"text","text":"b"}]}})"
             "\n",
         {"delta a", "delta b"}},
        {"tools start and complete, however deep their input",
         toolUse +
             R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t1","is_error":true}]}})"
             "\n" +
             R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t9"}]}})"
             "\n",
         {R"({"event":"tool.started","preview":"/a","tool":"read"})",
          R"({"error":true,"event":"tool.completed","tool":"read"})"}},
        {"init names the session; results end turns",
         R"({"type":"system","subtype":"init","session_id":"s1"})"
         "\n" +
             std::string(
                 R"({"type":"result","subtype":"success","result":"done","session_id":"s1"})") +
             "\n" +
             R"({"type":"result","subtype":"error_during_execution","is_error":false})"
             "\n",
         {"session s1", "result done s1", "result  failed -"}},
        {"of duplicate members the last one counts",
         delta(R"("first","text":"last")") +
             delta(R"("x"}},"type":"system","event":{"delta":{"text":"y")"),
         {"delta last"}},
        {"garbage, other JSON and a last line without its line feed are skipped",
         "not json\n[1,2]\n{\"type\":7}\n\xff\xfe\n" + nested(300000) + "\n" +
             delta(R"("x")").substr(0, 40),
         {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(hear(row.output, row.output.size()), row.heard) << row.what;
        EXPECT_EQ(hear(row.output, 1), row.heard) << row.what << ", cut byte by byte";
    }
}

TEST(OutputTranslator, DropsALineOver32MiBUpToItsLineFeed) {
    std::string output = delta(R"(")" + std::string(33 << 20, 'x') + R"(")") + delta(R"("after")");
    EXPECT_EQ(hear(output, 1 << 16), std::vector<std::string>{"delta after"});
}
