// What a long history and long texts cost the service: start-up and memory with a year of
// heavy use in its sessions file (beside Python's json.load of the same file), the peak of
// one 1.9 MB title, and listing the sessions after runs with 1.9 MB prompts.
#include "Sections.h"
#include "System.h"

#include "bridge/Session.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace pavix::bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double mib(double kib) {
    return kib / 1024.0;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

fs::path sessionsFileOf(const Service& service) {
    return fs::path(service.folder()) / "Library/Application Support/pavix/bridge-sessions.json";
}

// `count` sessions of `messages` messages each, written as the service writes them; short
// prompts and replies with a line break, quotes and an accent, as people write them.
std::string history(int count, int messages) {
    Session session;
    session.title = "a conversation about something worth eighty characters at most";
    session.claudeSessionId = "5f0c2a9e-8d1b-4c7e-9a3f-2b6d1e0c7a41";
    session.cwd = "/Users/someone/Library/Application Support/pavix/workspace";
    for (int m = 0; m < messages; ++m)
        session.messages.push_back(
            {{"role", m % 2 ? "assistant" : "user"},
             {"content",
              "Could you look at the \"parser\" once more?\nIt still fails on caf\xC3\xA9 "
              "input again: the log is below, at line " +
                  std::to_string(m)}});
    std::string file = "{";
    for (int s = 0; s < count; ++s) {
        char id[64];
        std::snprintf(id, sizeof id, "pavix-%08x-0000-4000-8000-%012x", unsigned(s), unsigned(s));
        session.id = id;
        session.started = 786'000'000.125 + s;
        session.lastActive = session.started + 100.5;
        if (s > 0) file += ',';
        file += encodeSession(id, session);
    }
    return file + "}";
}

struct StartUp {
    std::vector<double> ready, cpu, rss, peak, creates, python, pythonProcess, pythonCPU;
};

// Python's json.load of `file`, timed inside the interpreter (its own start left out), and
// the whole process, wall and CPU; nothing when there is no python3.
void pythonLoad(const fs::path& file, const fs::path& out, StartUp& figures) {
    SpawnOptions options;
    options.arguments = {"/usr/bin/env",
                         "python3",
                         "-c",
                         "import json, sys, time\n"
                         "start = time.perf_counter()\n"
                         "with open(sys.argv[1], 'rb') as f: json.load(f)\n"
                         "open(sys.argv[2], 'w').write(repr(time.perf_counter() - start))\n",
                         file.string(),
                         out.string()};
    options.environment = environmentWithout("PYTHON");
    const auto start = Clock::now();
    pid_t pid = spawnProcess(options);
    const double cpu = reap(pid, std::chrono::minutes(2));
    const double process = millisecondsSince(start);
    std::ifstream result(out);
    double seconds = 0;
    if (pid <= 0 || !(result >> seconds)) return;
    figures.python.push_back(seconds * 1000.0);
    figures.pythonProcess.push_back(process);
    figures.pythonCPU.push_back(cpu * 1000.0);
}

// One start of the service on `bytes`: until a listing is answered, then one create.
bool startOnce(const Programs& programs, const std::string& bytes, StartUp& figures) {
    Service service(programs);
    writeText(sessionsFileOf(service), bytes, 0600);
    auto start = Clock::now();
    if (!service.start(1, std::chrono::minutes(2))) return false;
    if (service.client().get("/api/sessions").status != 200) return false;
    figures.ready.push_back(millisecondsSince(start));
    figures.cpu.push_back(cpuSeconds(service.pid()) * 1000.0);
    figures.rss.push_back(mib(double(statusKiB(service.pid(), "VmRSS"))));
    figures.peak.push_back(mib(double(statusKiB(service.pid(), "VmHWM"))));
    start = Clock::now();
    if (service.client().post("/api/sessions", nlohmann::json::object()).status != 200)
        return false;
    figures.creates.push_back(millisecondsSince(start));
    pythonLoad(sessionsFileOf(service), service.folder() + "/python.txt", figures);
    return true;
}

void measureStartUp(const Programs& programs, const Options& options, Report& report) {
    const int count = options.quick ? 1000 : 10'000;
    const std::string bytes = history(count, 100);
    const double file = mib(double(bytes.size()) / 1024.0);
    StartUp figures;
    for (int rep = 0; rep < options.repetitions; ++rep)
        if (!startOnce(programs, bytes, figures)) {
            report.remark("history: the service did not start on the big file");
            break;
        }
    const std::string shape = std::to_string(count) + " x 100";
    report.add("sessions file, " + shape, "MiB", {file});
    report.add("python json.load, " + shape, "ms", figures.python);
    report.add("python3 process to json.load done, " + shape, "ms", figures.pythonProcess);
    report.add("python3 process CPU, " + shape, "ms", figures.pythonCPU);
    report.add("start until a listing, " + shape, "ms", figures.ready,
               figures.python.empty() ? "" : "<= " + std::to_string(median(figures.python)));
    report.add("service CPU until a listing, " + shape, "ms", figures.cpu);
    report.add("RSS after start-up, " + shape, "MiB", figures.rss);
    std::vector<double> ratios;
    for (double rss : figures.rss)
        ratios.push_back(rss / file);
    report.add("RSS after start-up / file, " + shape, "ratio", ratios, "<= 1.5");
    report.add("peak RSS during start-up, " + shape, "MiB", figures.peak);
    report.add("create on the store, " + shape, "ms", figures.creates);
}

// A text of `size` bytes, as a pasted log would be.
std::string longText(std::size_t size) {
    std::string text;
    text.reserve(size);
    while (text.size() < size)
        text += "2026-12-06 22:46:25 worker[4711]: request handled in 12 ms; ";
    text.resize(size);
    return text;
}

// How far one 1.9 MB title lifts a fresh service's peak memory.
void measureLongTitle(const Programs& programs, const Options& options, Report& report) {
    const nlohmann::json body = {{"title", longText(1'900'000)}};
    std::vector<double> peaks;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        Service service(programs);
        if (!service.start()) break;
        const auto before = double(statusKiB(service.pid(), "VmHWM"));
        if (service.client().post("/api/sessions", body).status != 200) break;
        peaks.push_back(mib(double(statusKiB(service.pid(), "VmHWM")) - before));
    }
    report.add("peak RSS added by one 1.9 MB title", "MiB", peaks, "<= 16");
}

// A run started with `body`, followed to its end; false when it did not complete.
bool runWith(Service& service, const nlohmann::json& body) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto answer = service.client().post("/v1/runs", body).json();
        if (!answer.is_object() || !answer["run_id"].is_string()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the last still ending
            continue;
        }
        auto events = service.client().collectEvents(
            "/v1/runs/" + answer["run_id"].get<std::string>() + "/events", SIZE_MAX,
            std::chrono::seconds(60));
        return !events.empty() && events.back().find("\"run.completed\"") != std::string::npos;
    }
    return false;
}

// GET api/sessions once 10 sessions began with 1.9 MB prompts: its time and the service's CPU.
void measureListing(const Programs& programs, const Options& options, Report& report) {
    Service service(programs);
    if (!service.start()) return;
    const std::string prompt = longText(1'900'000);
    for (int i = 0; i < 10; ++i)
        if (!runWith(service, {{"input", prompt}})) {
            report.remark("history: a run with a 1.9 MB prompt did not complete");
            return;
        }
    std::vector<double> times, cpu;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        const double cpuBefore = cpuSeconds(service.pid());
        const auto start = Clock::now();
        if (service.client().get("/api/sessions").json()["data"].size() != 10) break;
        times.push_back(millisecondsSince(start));
        cpu.push_back((cpuSeconds(service.pid()) - cpuBefore) * 1000.0);
    }
    report.add("GET api/sessions after 10 runs with 1.9 MB prompts", "ms", times);
    report.add("  service CPU for it", "ms", cpu);
}

// A session at the cap of 200 messages, of 100 KB each: reading its messages, and the
// service's CPU for a run in it (the prompt and the reply stored, the 20 MB file written).
void measureLongSession(const Programs& programs, const Options& options, Report& report) {
    Session session{{"long", "long", std::nullopt, "/tmp", 1, 2}, {}};
    for (int m = 0; m < 200; ++m)
        session.messages.push_back(
            {{"role", m % 2 ? "assistant" : "user"}, {"content", longText(100'000)}});
    Service service(programs);
    writeText(sessionsFileOf(service), "{" + encodeSession("long", session) + "}", 0600);
    if (!service.start()) return;
    std::vector<double> reads, readsCPU, runs;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        const auto start = Clock::now();
        double cpu = cpuSeconds(service.pid());
        if (service.client().get("/api/sessions/long/messages").body.size() < 10'000'000) break;
        reads.push_back(millisecondsSince(start));
        readsCPU.push_back((cpuSeconds(service.pid()) - cpu) * 1000.0);
        cpu = cpuSeconds(service.pid());
        if (!runWith(service, {{"input", "one more"}, {"session_id", "long"}})) break;
        runs.push_back((cpuSeconds(service.pid()) - cpu) * 1000.0);
    }
    report.add("GET messages of 200 x 100 KB", "ms", reads);
    report.add("  service CPU for it", "ms", readsCPU);
    report.add("service CPU for a run in that session", "ms", runs);
}

} // namespace

void measureHistory(const Programs& programs, const Options& options, Report& report) {
    measureStartUp(programs, options, report);
    measureLongTitle(programs, options, report);
    measureListing(programs, options, report);
    measureLongSession(programs, options, report);
}

} // namespace pavix::bench
