#include "Serve.h"
#include "config/BridgeConfig.h"
#include "config/Installer.h"
#include "config/Pairing.h"
#include "mcp/MCPApprove.h"
#include "platform/ExecutablePath.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

using namespace pavix;

namespace {

// Straight to standard error in one write, without the log's timestamp.
int fail(const std::string& prefix, const Error& error) {
    std::string line = prefix + error.description + "\n";
    [[maybe_unused]] auto n = ::write(STDERR_FILENO, line.data(), line.size());
    return 1;
}

int setup(const std::vector<std::string>&) {
    auto config = BridgeConfig::loadOrCreate();
    if (!config) return fail("couldn't create the config: ", config.error());
    std::printf("%s\n", pairingLine(*config).c_str());
    // Scripts and pipes get the one line only; a person at a terminal gets it to scan.
    if (::isatty(STDOUT_FILENO)) std::fputs(pairingGuide(*config, config->listen).c_str(), stdout);
    return 0;
}

int install(const std::vector<std::string>&) {
    if (auto installed = Installer::install(); !installed)
        return fail("couldn't install: ", installed.error());
    std::printf("installed: runs at login from %s\n", Installer::installedBinary().c_str());
    return 0;
}

int uninstall(const std::vector<std::string>&) {
    Installer::uninstall();
    std::puts("removed the login item");
    return 0;
}

struct Command {
    const char* word;
    /// What the usage line shows for it; null for the internal `mcp` mode, which only
    /// Claude Code starts.
    const char* usage;
    int (*run)(const std::vector<std::string>& arguments);
};

const Command commands[] = {
    {"serve", "serve", [](const std::vector<std::string>&) { return serve(); }},
    {"setup", "setup", setup},
    {"install", "install", install},
    {"uninstall", "uninstall", uninstall},
    {"mcp", nullptr,
     [](const std::vector<std::string>& arguments) -> int { MCPApprove::run(arguments); }},
};

int usage() {
    std::string line = "usage: pavix-bridge [";
    for (const Command& command : commands) {
        if (!command.usage) continue;
        if (line.back() != '[') line += " | ";
        line += command.usage;
    }
    std::puts((line + "]").c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    recordArgumentZero(argc > 0 ? argv[0] : nullptr);
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(argv[i]);
    const std::string word = arguments.empty() ? "serve" : arguments[0];
    for (const Command& command : commands)
        if (word == command.word) return command.run(arguments);
    return usage();
}
