#include "BridgeServer.h"

#include "RunProgram.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pavix::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

Steps reply(const std::string& text) {
    auto half = text.size() / 2;
    return {{{"init", true}},
            {{"raw", "{\"type\":\"stream_event\",\"event\":{\"type\":\"message_start\"}}\n"}},
            {{"delta", text.substr(0, half)}},
            {{"delta", text.substr(half)}},
            {{"text", text}},
            {{"result", {{"result", text}}}}};
}

Steps interrupted() {
    return {{{"result", {{"subtype", "error_during_execution"}, {"is_error", true}}}},
            {{"exit", 0}}};
}

json replying(const std::string& text) {
    return {{"turn", reply(text)}, {"on_sigint", interrupted()}};
}

BridgeServer::BridgeServer()
    : BridgeServer(Options()) {}

BridgeServer::BridgeServer(Options options)
    : options_(std::move(options)) {
    setScenario(json::object());
}

BridgeServer::~BridgeServer() {
    int status = stop();
    if (status > 0) {
        std::string tail = log();
        ADD_FAILURE() << "pavix-bridge serve ended with status " << status << " when stopped:\n"
                      << tail.substr(tail.size() > 4000 ? tail.size() - 4000 : 0);
    }
}

void BridgeServer::setScenario(json scenario) {
    scenario["record"] = (scratch_.path() / "record.jsonl").string();
    writeText(scratch_.path() / "scenario.json", scenario.dump());
}

::testing::AssertionResult BridgeServer::start() {
    json config = {{"port", port()}, {"key", options_.key}};
    if (options_.settings) config["settings"] = *options_.settings;
    if (options_.project) config["project"] = *options_.project;
    if (options_.maxRuns) config["max_runs"] = *options_.maxRuns;
    if (options_.listen) config["listen"] = *options_.listen;
    writeText(home_.configFolder() / "bridge.json", config.dump(), 0600);
    EnvironmentChanges changes = {
        {"HOME", home_.path().string()},
        {"FAKE_AGENT_SCENARIO", (scratch_.path() / "scenario.json").string()},
        // Relative: the service must still find it from a session's folder.
        {"PAVIX_CLAUDE_PATH", fs::relative(FAKE_CLAUDE_PATH).string()}};
    for (const auto& [name, value] : options_.environment)
        changes[name] = value;
    int logFd = ::open((scratch_.path() / "bridge.log").c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = spawnProcess({PAVIX_BRIDGE_PATH, "serve"}, changes, -1, logFd, logFd);
    ::close(logFd);
    if (pid_ < 0) return ::testing::AssertionFailure() << "couldn't start pavix-bridge";

    // Ready once it answers health.
    for (auto deadline = Clock::now() + 10s; Clock::now() < deadline;) {
        if (client().get("/health", false).status == 200) return ::testing::AssertionSuccess();
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return ::testing::AssertionFailure() << "pavix-bridge serve ended:\n" << log();
        }
        std::this_thread::sleep_for(20ms);
    }
    stop();
    return ::testing::AssertionFailure() << "port " << port() << " never answered:\n" << log();
}

int BridgeServer::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    // The service first stops its runs, which may take 8 s.
    if (!eventually([&] { return ended(pid_); }, 15s)) ::kill(pid_, SIGKILL);
    return reap(std::exchange(pid_, -1));
}

std::string BridgeServer::log() const {
    return readText(scratch_.path() / "bridge.log");
}

long BridgeServer::statusKiB(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with(field + ":")) {
    }
    return line.empty() ? 0 : std::stol(line.substr(field.size() + 1));
}

std::vector<json> BridgeServer::record(const std::string& kind, std::size_t count) const {
    std::vector<json> entries;
    eventually(
        [&] {
            entries.clear();
            std::ifstream in(scratch_.path() / "record.jsonl");
            for (std::string line; std::getline(in, line);)
                if (json entry = json::parse(line, nullptr, false);
                    entry.is_object() && entry.value("kind", "") == kind)
                    entries.push_back(std::move(entry));
            return entries.size() >= count;
        },
        10s);
    return entries;
}

std::vector<json> BridgeServer::launches() const {
    auto starts = record("start");
    std::erase_if(starts, [](const json& start) { return start["args"] == json{"--version"}; });
    return starts;
}

std::string startRun(HTTPClient& client, const json& body) {
    auto response = client.post("/v1/runs", body);
    EXPECT_EQ(response.status, 202) << response.raw;
    std::string id = response.json().value("run_id", "");
    EXPECT_EQ(response.json(), (json{{"run_id", id}, {"status", "running"}}));
    return id;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    for (const auto deadline = Clock::now() + limit; !condition();) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
        if (std::ifstream file(task.path() / "children"); file)
            for (pid_t child; file >> child;)
                children.push_back(child);
    return children;
}

bool ended(pid_t pid) {
    std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    std::size_t name = stat.rfind(") "); // the name before it may hold anything
    return name == std::string::npos || stat[name + 2] == 'Z' || stat[name + 2] == 'X';
}

std::vector<std::string> openDescriptors(pid_t pid) {
    std::vector<std::string> descriptors;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        descriptors.push_back(fd.path().filename().string() + " " +
                              fs::read_symlink(fd.path(), error).string());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

std::vector<std::string> settledDescriptors(pid_t pid) {
    std::vector<std::string> last;
    for (int stable = 0; stable < 5;) {
        std::this_thread::sleep_for(50ms);
        auto now = openDescriptors(pid);
        stable = now == last && childrenOf(pid).empty() ? stable + 1 : 0;
        last = std::move(now);
    }
    return last;
}

} // namespace pavix::test
