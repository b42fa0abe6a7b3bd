#include "Service.h"

#include "LoopbackPort.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace pavix::bench {

namespace fs = std::filesystem;

Service::Service(const Programs& programs, Server server)
    : programs_(programs)
    , server_(server) {}

Service::~Service() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, std::chrono::seconds(5));
    }
}

void Service::setAgent(const std::string& parameters) {
    writeText(home_.path() / "agent.conf", parameters);
}

bool Service::start(unsigned maxRuns, std::chrono::milliseconds patience) {
    const fs::path config = home_.path() / "Library/Application Support/pavix";
    fs::create_directories(config);
    nlohmann::json settings = {{"port", port()}, {"key", key_}, {"settings", "direct"}};
    if (maxRuns > 1) settings["max_runs"] = maxRuns;
    writeText(config / "bridge.json", settings.dump(), 0600);
    setAgent("count=1");

    SpawnOptions options;
    options.arguments = {programs_.bridge, "serve"};
    if (server_ == Server::node)
        options.arguments = {programs_.node, programs_.nodeRelay, std::to_string(port()), key_,
                             programs_.agent};
    options.environment = environmentWithout("HOME=");
    std::erase_if(options.environment,
                  [](const std::string& variable) { return variable.rfind("PAVIX_", 0) == 0; });
    options.environment.push_back("HOME=" + folder());
    options.environment.push_back("PAVIX_CLAUDE_PATH=" + programs_.agent);
    options.environment.push_back("PAVIX_BENCH_AGENT=@" + folder() + "/agent.conf");
    int logFd = ::open((home_.path() / "serve.log").c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    options.stderrFd = logFd;
    pid_ = spawnProcess(options);
    ::close(logFd);
    if (pid_ <= 0) return false;

    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (hasExited(pid_)) {
            pid_ = -1;
            std::fprintf(stderr, "the service ended at start; its log:\n%s\n", log().c_str());
            return false;
        }
        if (client().get("/health", false).status != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "the service did not answer; its log:\n%s\n", log().c_str());
    return false;
}

std::optional<std::string> Service::startRun() {
    auto reply = client().post("/v1/runs", {{"input", "bench"}, {"session_id", "pavix-bench"}});
    auto answer = reply.json();
    if (reply.status == 202 && answer.is_object() && answer["run_id"].is_string())
        return answer["run_id"].get<std::string>();
    std::fprintf(stderr, "POST /v1/runs answered %d %s\n", reply.status, reply.body.c_str());
    return std::nullopt;
}

std::string Service::log() const {
    std::ifstream file(home_.path() / "serve.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace pavix::bench
