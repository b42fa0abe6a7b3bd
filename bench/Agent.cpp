// A stand-in for Claude Code that produces text deltas as fast as it can, or at a fixed
// rate, each stamped with its send time, so that whoever reads them downstream can
// compute throughput and latency.
//
// Parameters come from PAVIX_BENCH_AGENT (the service passes it through; names beginning
// with CLAUDE or ANTHROPIC_ it would strip): words "name=value", or "@file" holding them.
//   count=N    text deltas to print (default 1000)
//   rate=R     deltas per second, each written on its own; 0 (default) floods, buffered
//   size=S     characters of delta text (default 32, at least 20)
//   gate=PATH  a FIFO to wait on after the first input line: deltas start once its
//              writer has opened and closed it (lets readers get ready first)
//   limit=S    gives up after S seconds in all (default 120)
// Each delta's text begins with the CLOCK_MONOTONIC time of its formatting in nanoseconds,
// 19 digits, then a space and padding. After the deltas comes one successful result; then
// the agent waits for its input to close and exits 0.

#include "util/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace {

struct Parameters {
    std::uint64_t count = 1000;
    std::uint64_t rate = 0;
    std::size_t size = 32;
    std::string gate;
    unsigned limit = 120;
};

Parameters readParameters() {
    Parameters parameters;
    const char* value = std::getenv("PAVIX_BENCH_AGENT");
    std::string words = value ? value : "";
    if (!words.empty() && words[0] == '@') {
        std::ifstream file(words.substr(1));
        std::stringstream contents;
        contents << file.rdbuf();
        words = contents.str();
    }
    std::istringstream stream(words);
    for (std::string word; stream >> word;) {
        auto equals = word.find('=');
        if (equals == std::string::npos) continue;
        std::string name = word.substr(0, equals), setting = word.substr(equals + 1);
        if (name == "count") parameters.count = std::strtoull(setting.c_str(), nullptr, 10);
        if (name == "rate") parameters.rate = std::strtoull(setting.c_str(), nullptr, 10);
        if (name == "size") parameters.size = std::strtoull(setting.c_str(), nullptr, 10);
        if (name == "gate") parameters.gate = setting;
        if (name == "limit") parameters.limit = std::strtoul(setting.c_str(), nullptr, 10);
    }
    if (parameters.size < 20) parameters.size = 20;
    return parameters;
}

std::uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

// Reads one line from standard input, byte by byte so nothing after it is consumed.
bool readLine() {
    char byte;
    for (;;) {
        ssize_t n = ::read(0, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (byte == '\n') return true;
    }
}

void waitForGate(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char sink[64];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
    ::close(fd);
}

// The shape of Claude Code's partial-message lines, with the fields it carries besides the delta.
constexpr std::string_view deltaHead =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
    R"("delta":{"type":"text_delta","text":")";
constexpr std::string_view deltaTail =
    R"("}},"session_id":"5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41","parent_tool_use_id":null,)"
    R"("uuid":"0b8e6f2d-3c4a-4e1f-8b7d-9a2c5e6f1d30"})"
    "\n";
constexpr std::string_view resultLine =
    R"({"type":"result","subtype":"success","is_error":false,"duration_ms":1,"num_turns":1,)"
    R"("result":"done","session_id":"5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41"})"
    "\n";

void appendDelta(std::string& out, std::size_t size) {
    out += deltaHead;
    char stamp[24];
    int length = std::snprintf(stamp, sizeof stamp, "%019llu ",
                               static_cast<unsigned long long>(monotonicNanoseconds()));
    out.append(stamp, std::size_t(length));
    out.append(size - std::size_t(length), 'x');
    out += deltaTail;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::puts("2.0.0 (Claude Code)");
        return 0;
    }
    const Parameters parameters = readParameters();
    signal(SIGPIPE, SIG_IGN);
    alarm(parameters.limit); // whatever happens downstream, this process ends

    if (!readLine()) return 1;
    if (!parameters.gate.empty()) waitForGate(parameters.gate);

    std::string out;
    if (parameters.rate == 0) {
        constexpr std::size_t flushAt = 60 * 1024;
        out.reserve(flushAt + 1024);
        for (std::uint64_t i = 0; i < parameters.count; ++i) {
            appendDelta(out, parameters.size);
            if (out.size() >= flushAt) {
                if (!pavix::writeAll(1, out)) return 1;
                out.clear();
            }
        }
    } else {
        const std::uint64_t interval = 1'000'000'000u / parameters.rate;
        const std::uint64_t start = monotonicNanoseconds();
        for (std::uint64_t i = 0; i < parameters.count; ++i) {
            std::uint64_t due = start + i * interval;
            timespec when{time_t(due / 1'000'000'000u), long(due % 1'000'000'000u)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
            }
            out.clear();
            appendDelta(out, parameters.size);
            if (!pavix::writeAll(1, out)) return 1;
        }
        out.clear();
    }
    out += resultLine;
    if (!pavix::writeAll(1, out)) return 1;

    char sink[4096];
    for (;;) {
        ssize_t n = ::read(0, sink, sizeof sink);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    return 0;
}
