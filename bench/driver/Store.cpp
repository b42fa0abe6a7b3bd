#include "Sections.h"
#include "System.h"

#include "bridge/SessionStore.h"
#include "util/Files.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace pavix::bench {

namespace {

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

} // namespace

void measureStore(const Options& options, Report& report) {
    TempFolder folder;
    const std::filesystem::path path = folder.path() / "bridge-sessions.json";
    struct Shape {
        int sessions, messages;
        const char* target;
    };
    for (Shape shape : {Shape{100, 20, ""}, Shape{1000, 200, "<= 150"}}) {
        const Sessions sessions = makeSessions(shape.sessions, shape.messages);
        if (!writeFileAtomically(path, encodeSessions(sessions)).ok()) break;
        std::vector<double> saves, encodes, writes, loads;
        for (int rep = 0; rep < options.repetitions; ++rep) {
            // The start-up load: what the Bridge does before it serves.
            auto start = std::chrono::steady_clock::now();
            SessionStore store(path, std::nullopt);
            loads.push_back(millisecondsSince(start));
            if (store.all().size() != sessions.size()) break;

            start = std::chrono::steady_clock::now();
            store.save();
            saves.push_back(millisecondsSince(start));

            // The save's two halves, timed apart to show which one limits it.
            start = std::chrono::steady_clock::now();
            const std::string bytes = encodeSessions(store.all());
            encodes.push_back(millisecondsSince(start));
            start = std::chrono::steady_clock::now();
            if (!writeFileAtomically(path, bytes).ok()) break;
            writes.push_back(millisecondsSince(start));
        }
        const std::string shapeName =
            std::to_string(shape.sessions) + " x " + std::to_string(shape.messages);
        std::error_code error;
        report.add("store save, " + shapeName, "ms", saves, shape.target);
        report.add("  of which encoding, " + shapeName, "ms", encodes);
        report.add("  of which atomic write, " + shapeName, "ms", writes);
        report.add("store load, " + shapeName, "ms", loads);
        report.add("store file, " + shapeName, "MiB",
                   {double(std::filesystem::file_size(path, error)) / 1048576.0});
    }
}

} // namespace pavix::bench
