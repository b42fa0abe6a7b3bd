#pragma once
// What the output translator tells a run, as text, so that two readings of the same output
// can be compared; with the checks every reading must pass: each delta's escaped text is
// exactly what the JSON serializer writes for its text, every event is one line of JSON
// naming itself.
#include "run/OutputTranslator.h"
#include "util/Json.h"

#include <simdjson.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace pavix {

inline void check(bool condition) {
    if (!condition) std::abort();
}

struct Transcript : OutputListener {
    std::vector<std::string> heard;
    std::vector<Event> events; ///< in log order; deltas as message.delta events
    bool checkDeltas = true;   ///< off where a faster target leaves it to another

    void delta(std::string_view escaped, std::string_view text) override {
        if (checkDeltas) {
            const std::string framed =
                std::string(deltaJSONHead).append(escaped).append(deltaJSONTail);
            auto quoted = compactJSON(std::string(text));
            check(quoted && framed == R"({"delta":)" + *quoted + R"(,"event":"message.delta"})");
        }
        heard.push_back("delta " + std::string(escaped));
        events.push_back({EventKind::messageDelta, std::string(escaped)});
    }
    void event(Event event) override {
        // simdjson's validator: nlohmann's parser under the sanitizers cost more than the
        // translator itself.
        simdjson::dom::object parsed;
        std::string_view name;
        check(event.text.find('\n') == std::string::npos &&
              !validator_.parse(event.text).get(parsed) && !parsed["event"].get(name) &&
              name == eventName(event.kind));
        heard.push_back(withoutDuration(event.text));
        events.push_back(std::move(event));
    }
    void session(std::string_view id) override { heard.push_back("session " + std::string(id)); }
    void result(TurnResult result) override {
        heard.push_back("result " + result.text + (result.failed ? " failed" : "") + " " +
                        result.sessionId.value_or("-"));
    }

private:
    simdjson::dom::parser validator_;

    // The text without its "duration" member, a time different on every reading. A string
    // value cannot hold `"duration":` unescaped, so the first one is the member's.
    static std::string withoutDuration(std::string text) {
        auto at = text.find(R"("duration":)");
        if (at == std::string::npos) return text;
        auto end = text.find_first_of(",}", at);
        if (text[end] == ',')
            ++end; // the comma after it
        else if (text[at - 1] == ',')
            --at; // the last member: the comma before it
        return text.erase(at, end - at);
    }
};

/// What the translator tells of `bytes`, fed whole or cut into chunks at points taken from
/// the bytes themselves.
inline Transcript translate(std::string_view bytes, bool cut,
                            OutputTranslator::Reading reading = OutputTranslator::Reading::fastPath,
                            bool checkDeltas = true) {
    Transcript transcript;
    transcript.checkDeltas = checkDeltas;
    OutputTranslator translator(transcript, reading);
    for (std::size_t at = 0; at < bytes.size();) {
        auto selector = static_cast<unsigned char>(bytes[at]);
        std::size_t length =
            cut ? std::min<std::size_t>(1 + selector % 97, bytes.size() - at) : bytes.size();
        translator.consume(bytes.substr(at, length));
        at += length;
    }
    return transcript;
}

} // namespace pavix
