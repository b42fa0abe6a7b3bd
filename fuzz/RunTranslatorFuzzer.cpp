// Feeds arbitrary bytes to a run as Claude Code's standard output, cut into chunks at
// points taken from the bytes themselves, then ends the process, and checks what a run
// promises whatever its agent prints: exactly one terminal event, which is the last thing
// a live subscriber receives; every event text is one line of JSON naming its event; the
// status is one of its five words, and a terminal one at the end.
#include "RunProbe.h"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace pavix;
using nlohmann::json;

namespace {

bool isTerminal(const std::string& name) {
    return name == "run.completed" || name == "run.failed" || name == "run.cancelled";
}

// The event name of a logged text, checking that the text is one line of JSON naming it.
std::string eventName(const std::string& text) {
    if (text.find('\n') != std::string::npos || text.find('\r') != std::string::npos) std::abort();
    json event = json::parse(text, nullptr, false);
    if (!event.is_object()) std::abort();
    auto name = event.find("event");
    if (name == event.end() || !name->is_string()) std::abort();
    return name->get<std::string>();
}

// The status object must always serialize strictly; returns its "status" word.
std::string checkedStatus(const ClaudeRun& run) {
    json status = run.statusJSON();
    try {
        (void)status.dump();
    } catch (const json::exception&) {
        std::abort();
    }
    auto word = status.find("status");
    if (word == status.end() || !word->is_string()) std::abort();
    std::string text = word->get<std::string>();
    if (text != "running" && text != "waiting_for_approval" && text != "completed" &&
        text != "failed" && text != "cancelled")
        std::abort();
    return text;
}

// The next chunk's length: 1 to 128 bytes as the byte at `at` says, or everything left.
std::size_t chunkLength(std::string_view bytes, std::size_t at) {
    auto selector = static_cast<unsigned char>(bytes[at]);
    if (selector % 11 == 0) return bytes.size() - at;
    return std::min<std::size_t>(std::size_t{1} << (selector % 8), bytes.size() - at);
}

// A subscriber that followed the run live saw the log up to the terminal event, then its end.
void checkLive(const test::Received& received, const std::vector<std::string>& log,
               std::size_t terminal) {
    if (!received.ended) std::abort();
    if (received.texts.size() != terminal + 1) std::abort();
    if (!std::equal(received.texts.begin(), received.texts.end(), log.begin())) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // A few choices come from the bytes as a whole, so plain transcripts stay good seeds.
    unsigned mix = static_cast<unsigned>(size);
    for (unsigned char c : bytes)
        mix = mix * 31 + c;
    const bool steer = mix & 1;  // a second user message halfway through
    const bool stop = mix & 2;   // a stop halfway through
    const bool errors = mix & 4; // the same bytes on standard error, in two pieces
    const int status = static_cast<int>(mix >> 3) % 256;

    static boost::asio::io_context loop;
    auto settle = [] {
        loop.restart();
        loop.poll();
    };
    {
        auto run = ClaudeRunProbe::make(loop.get_executor());
        auto early = test::collect(loop.get_executor(), run->subscribe());
        std::shared_ptr<test::Received> late;
        std::size_t lateReplay = 0; // log texts a run already finished replays to `late`

        for (std::size_t at = 0; at < bytes.size();) {
            std::size_t length = chunkLength(bytes, at);
            ClaudeRunProbe::output(*run, bytes.substr(at, length));
            if (!late && at + length >= bytes.size() / 2) {
                late = test::collect(loop.get_executor(), run->subscribe());
                if (run->finished()) lateReplay = ClaudeRunProbe::log(*run).size();
                if (steer) run->sendUserMessage("and then?");
                if (stop) run->stop();
            }
            at += length;
            std::string word = checkedStatus(*run);
            if ((word == "running") == run->finished()) std::abort();
            settle();
        }
        if (!late) late = test::collect(loop.get_executor(), run->subscribe());
        if (errors) {
            ClaudeRunProbe::errors(*run, bytes.substr(0, bytes.size() / 2));
            ClaudeRunProbe::errors(*run, bytes.substr(bytes.size() / 2));
        }
        ClaudeRunProbe::ended(*run, status);
        settle();

        auto log = ClaudeRunProbe::log(*run);
        std::size_t terminals = 0, terminal = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (isTerminal(eventName(log[i]))) {
                ++terminals;
                terminal = i;
            }
        }
        if (terminals != 1 || !run->finished()) std::abort();
        std::string word = checkedStatus(*run);
        if ("run." + word != eventName(log[terminal])) std::abort();
        // A failure's message is the one its event carried.
        json status = run->statusJSON();
        if (word == "failed" && status.value("error", "?") != json::parse(log[terminal])["error"])
            std::abort();
        if (word != "failed" && status.contains("error")) std::abort();
        checkLive(*early, log, terminal);
        if (lateReplay == 0) {
            checkLive(*late, log, terminal);
        } else if (!late->ended || late->texts.size() != lateReplay ||
                   !std::equal(late->texts.begin(), late->texts.end(), log.begin())) {
            std::abort();
        }

        // One who subscribes after the end gets the whole log, then its end.
        auto after = test::collect(loop.get_executor(), run->subscribe());
        settle();
        if (!after->ended || after->texts != log) std::abort();
    }
    settle();
    return 0;
}
