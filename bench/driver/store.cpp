#include "Sections.h"
#include "System.h"

#include "util/files.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pavix::bench {

namespace {

// The sessions file's shape, written and read the straightforward way with nlohmann and
// the atomic write; stands in for the store until its own code is measured here.
struct StoredSession {
    std::string id, title, claudeSessionId, cwd;
    double started = 0, lastActive = 0;
    std::vector<std::map<std::string, std::string>> messages;
};
using Sessions = std::map<std::string, StoredSession>;

Sessions makeSessions(int count, int messages) {
    Sessions sessions;
    const std::string content(200, 'm');
    for (int s = 0; s < count; ++s) {
        StoredSession session;
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

std::string encode(const Sessions& sessions) {
    nlohmann::json file = nlohmann::json::object();
    for (const auto& [id, session] : sessions) {
        nlohmann::json entry = {{"id", session.id},
                                {"title", session.title},
                                {"cwd", session.cwd},
                                {"started", session.started},
                                {"lastActive", session.lastActive},
                                {"messages", session.messages}};
        if (!session.claudeSessionId.empty()) entry["claudeSessionId"] = session.claudeSessionId;
        file[id] = std::move(entry);
    }
    return file.dump();
}

std::size_t load(const std::filesystem::path& path) {
    auto bytes = readFile(path);
    if (!bytes) return 0;
    auto file = nlohmann::json::parse(*bytes, nullptr, false);
    if (!file.is_object()) return 0;
    Sessions sessions;
    for (const auto& [id, entry] : file.items()) {
        StoredSession session;
        session.id = entry.at("id").get<std::string>();
        session.title = entry.at("title").get<std::string>();
        session.cwd = entry.at("cwd").get<std::string>();
        session.started = entry.at("started").get<double>();
        session.lastActive = entry.at("lastActive").get<double>();
        if (entry.contains("claudeSessionId"))
            session.claudeSessionId = entry["claudeSessionId"].get<std::string>();
        session.messages =
            entry.at("messages").get<std::vector<std::map<std::string, std::string>>>();
        sessions.emplace(id, std::move(session));
    }
    return sessions.size();
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

void measureStore(const Options& options, Report& report) {
    TempFolder folder;
    const std::filesystem::path path =
        std::filesystem::path(folder.path()) / "bridge-sessions.json";
    struct Shape {
        int sessions, messages;
        const char* target;
    };
    for (Shape shape : {Shape{100, 20, ""}, Shape{1000, 200, "<= 150"}}) {
        const Sessions sessions = makeSessions(shape.sessions, shape.messages);
        std::vector<double> saves, encodes, writes, loads;
        for (int rep = 0; rep < options.repetitions; ++rep) {
            auto start = std::chrono::steady_clock::now();
            const std::string bytes = encode(sessions);
            encodes.push_back(millisecondsSince(start));
            auto writing = std::chrono::steady_clock::now();
            if (!writeFileAtomically(path, bytes).ok()) break;
            writes.push_back(millisecondsSince(writing));
            saves.push_back(millisecondsSince(start));
            start = std::chrono::steady_clock::now();
            if (load(path) != sessions.size()) break;
            loads.push_back(millisecondsSince(start));
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
    report.remark("store figures use a stand-in (nlohmann + writeFileAtomically) of the sessions "
                  "file, not the store's own code");
}

} // namespace pavix::bench
