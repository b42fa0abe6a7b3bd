#include "Sections.h"
#include "System.h"

#include "bridge/SessionStore.h"
#include "util/Async.h"
#include "util/Files.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace pavix::bench {

namespace {

// This thread's CPU time: the loop's share, unlike wall time, barely moves with the load
// that other processes put on the machine.
double threadCPUMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

Sessions makeSessions(int count, int messages) {
    Sessions sessions;
    const std::string content(200, 'm');
    for (int s = 0; s < count; ++s) {
        Session session;
        char id[64];
        std::snprintf(id, sizeof id, "pavix-%08x-0000-4000-8000-%012x", unsigned(s), unsigned(s));
        session.id = id;
        session.title = "a conversation about something worth eighty characters at most";
        session.claudeSessionId = "5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41";
        session.cwd = "/home/someone/Library/Application Support/pavix/workspace";
        session.started = 786'000'000.125;
        session.lastActive = 786'000'100.5;
        for (int m = 0; m < messages; ++m)
            session.messages.push_back(
                {{"role", m % 2 ? "assistant" : "user"}, {"content", content}});
        sessions.emplace(session.id, std::move(session));
    }
    return sessions;
}

// One reply to one session, as a run's end stores it: the loop's part (re-encoding that
// session, handing the file's parts to the worker) and the time until the write is on disk.
void saveOnce(SessionStore& store, const std::string& id, asio::io_context& loop,
              std::vector<double>& saves, std::vector<double>& onLoop) {
    bool saved = false;
    auto start = std::chrono::steady_clock::now();
    const double cpu = threadCPUMilliseconds();
    store.addReply(id, "one more reply");
    onLoop.push_back(threadCPUMilliseconds() - cpu);
    auto waiting = [](SessionStore* store, bool* saved) -> asio::awaitable<void> {
        co_await store->saved();
        *saved = true;
    };
    startCoroutine(loop.get_executor(), waiting(&store, &saved), "saving");
    loop.restart();
    loop.run(); // until the write's outcome is back: the worker keeps the loop busy until then
    if (saved) saves.push_back(millisecondsSince(start));
}

} // namespace

void measureStore(const Options& options, Report& report) {
    TempFolder folder;
    const std::filesystem::path path = folder.path() / "bridge-sessions.json";
    struct Shape {
        int sessions, messages;
        const char* target;
    };
    for (Shape shape : {Shape{100, 20, ""}, Shape{1000, 200, "<= 100"}}) {
        const Sessions sessions = makeSessions(shape.sessions, shape.messages);
        if (!writeFileAtomically(path, encodeSessions(sessions)).ok()) break;
        std::vector<double> saves, onLoop, encodes, writes, loads;
        for (int rep = 0; rep < options.repetitions; ++rep) {
            // The start-up load (decoding, then encoding each session once for later saves):
            // what the Bridge does before it serves.
            asio::io_context loop;
            auto start = std::chrono::steady_clock::now();
            SessionStore store(loop.get_executor(), path, std::nullopt);
            loads.push_back(millisecondsSince(start));
            const std::string& first = sessions.begin()->first;
            if (!store.find(first) || !store.find(sessions.rbegin()->first)) break;
            saveOnce(store, first, loop, saves, onLoop);

            // What a save would cost without the kept texts, and the write alone.
            const double cpu = threadCPUMilliseconds();
            const std::string bytes = encodeSessions(sessions);
            encodes.push_back(threadCPUMilliseconds() - cpu);
            start = std::chrono::steady_clock::now();
            if (!writeFileAtomically(path, bytes).ok()) break;
            writes.push_back(millisecondsSince(start));
        }
        const std::string shapeName =
            std::to_string(shape.sessions) + " x " + std::to_string(shape.messages);
        std::error_code error;
        report.add("store save, " + shapeName, "ms", saves, shape.target);
        report.add("  of which on the loop, " + shapeName, "ms CPU", onLoop);
        report.add("store encoding of all, " + shapeName, "ms CPU", encodes);
        report.add("store atomic write, " + shapeName, "ms", writes);
        report.add("store load, " + shapeName, "ms", loads);
        report.add("store file, " + shapeName, "MiB",
                   {double(std::filesystem::file_size(path, error)) / 1048576.0});
    }
}

} // namespace pavix::bench
