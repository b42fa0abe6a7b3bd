#pragma once
// What the output translator tells a run, as text, so that two readings of the same output
// can be compared; with the checks every reading must pass: each delta's escaped text is
// exactly what the JSON serializer writes for its text, every event is one line of JSON
// naming itself.
#include "run/OutputTranslator.h"
#include "util/Json.h"

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
            std::string framed;
            appendDeltaJSON(framed, escaped);
            auto quoted = compactJSON(std::string(text));
            check(quoted && framed == R"({"delta":)" + *quoted + R"(,"event":"message.delta"})");
        }
        heard.push_back("delta " + std::string(escaped));
        events.push_back({EventKind::messageDelta, std::string(escaped)});
    }
    void event(Event event) override {
        nlohmann::json parsed = nlohmann::json::parse(event.text, nullptr, false);
        check(event.text.find('\n') == std::string::npos && parsed.is_object() &&
              parsed.value("event", "") == eventName(event.kind));
        parsed.erase("duration"); // a time, different on every reading
        heard.push_back(parsed.dump());
        events.push_back(std::move(event));
    }
    void session(std::string_view id) override { heard.push_back("session " + std::string(id)); }
    void result(TurnResult result) override {
        heard.push_back("result " + result.text + (result.failed ? " failed" : "") + " " +
                        result.sessionId.value_or("-"));
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
