#include "BridgeServer.h"

#include "RunProgram.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pavix::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

BridgeServer::BridgeServer()
    : BridgeServer(Options{}) {}

BridgeServer::BridgeServer(Options options)
    : options_(std::move(options))
    , home_(std::make_unique<TempHome>())
    , port_(freePort()) {
    setScenario(Scenario());
}

BridgeServer::~BridgeServer() {
    // A service still running at the end of a test must stop cleanly when asked: status
    // 0 means its runs were stopped and, in sanitized builds, that nothing leaked.
    if (!running()) return;
    int status = stop();
    if (status != 0) {
        std::string tail = log();
        if (tail.size() > 4000) tail.erase(0, tail.size() - 4000);
        ADD_FAILURE() << "pavix-bridge serve ended with status " << status
                      << " when stopped; log:\n"
                      << tail;
    }
}

void BridgeServer::setScenario(Scenario scenario) {
    if (!scenario.recording()) scenario.recordTo(recordFile());
    scenario.writeTo(scenarioFile());
}

::testing::AssertionResult BridgeServer::start(bool writeConfig) {
    if (running()) return ::testing::AssertionFailure() << "already running";
    if (writeConfig) {
        json config = {{"port", port_}, {"key", options_.key}};
        if (options_.settings) config["settings"] = *options_.settings;
        if (options_.project) config["project"] = *options_.project;
        writeText(home_->configFolder() / "bridge.json", config.dump(2), 0600);
    }

    EnvironmentChanges changes = {
        {"HOME", home_->path().string()},
        {scenarioVariable, scenarioFile().string()},
        {"PAVIX_CLAUDE_PATH", options_.claudePath
                                  ? std::optional<std::string>(options_.claudePath->string())
                                  : std::nullopt}};
    for (const auto& [name, value] : options_.environment)
        changes[name] = value;
    ChildEnvironment env(changes);
    std::string program = PAVIX_BRIDGE_PATH, word = "serve";
    char* argv[] = {program.data(), word.data(), nullptr};

    int logFd = ::open((scratch_.path() / "bridge.log").c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, nullFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    int failed = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, env.block());
    posix_spawn_file_actions_destroy(&actions);
    ::close(logFd);
    ::close(nullFd);
    if (failed != 0) {
        pid_ = -1;
        return ::testing::AssertionFailure() << "couldn't start " << program;
    }

    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        // Answered health, not just a connection: the port alone may not yet be this
        // service's, and a started service must be ready for the test's first request.
        std::string health = client().exchange("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                                               std::chrono::seconds(1));
        if (health.rfind("HTTP/1.1 200 ", 0) == 0) return ::testing::AssertionSuccess();
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return ::testing::AssertionFailure()
                   << "pavix-bridge serve ended with status "
                   << (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status))
                   << "; log:\n"
                   << log();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    return ::testing::AssertionFailure() << "port " << port_ << " never accepted; log:\n" << log();
}

int BridgeServer::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + grace;
    bool reaped = false;
    while (!reaped && Clock::now() < deadline) {
        pid_t got = ::waitpid(pid_, &status, WNOHANG);
        reaped = got == pid_ || (got < 0 && errno != EINTR);
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

::testing::AssertionResult BridgeServer::restart() {
    stop();
    return start();
}

bool BridgeServer::waitForLog(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<json> BridgeServer::waitForRecord(const std::string& kind, std::size_t count,
                                              std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        auto entries = recorded(recordFile(), kind);
        if (entries.size() >= count || Clock::now() >= deadline) return entries;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<json> BridgeServer::runLaunches() const {
    std::vector<json> launches;
    for (auto& start : recorded(recordFile(), "start"))
        if (start["args"] != json::array({"--version"})) launches.push_back(std::move(start));
    return launches;
}

std::string BridgeServer::log() const {
    return readText(scratch_.path() / "bridge.log");
}

std::string startRun(HttpClient& client, const json& body) {
    auto response = client.post("/v1/runs", body);
    EXPECT_EQ(response.status, 202) << response.raw;
    std::string id = response.json().value("run_id", "");
    EXPECT_EQ(response.json(), (json{{"run_id", id}, {"status", "running"}}));
    return id;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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

std::vector<std::string> openDescriptors(pid_t pid) {
    std::vector<std::string> descriptors;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        descriptors.push_back(fd.path().filename().string() + " " +
                              fs::read_symlink(fd.path(), error).string());
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

} // namespace pavix::test
