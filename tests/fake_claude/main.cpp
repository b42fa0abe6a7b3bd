// Stands in for Claude Code in tests: plays the scenario named by FAKE_AGENT_SCENARIO.
// The scenario language is described in README.md beside this file.
#include "Agent.h"

#include "util/Files.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#ifdef __linux__
#include <sys/prctl.h>
#endif

int main(int argc, char** argv) {
#ifdef __linux__
    // A test that kills the service must not leave its agents behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    fake::json scenario = fake::json::object();
    if (const char* file = std::getenv("FAKE_AGENT_SCENARIO"); file && *file) {
        auto text = pavix::readFile(file);
        scenario = text ? fake::json::parse(*text, nullptr, false) : fake::json();
        if (!scenario.is_object()) {
            std::fprintf(stderr, "fake_claude: no usable scenario in %s\n", file);
            return 97;
        }
    }
    fake::Agent agent(std::move(scenario), std::vector<std::string>(argv + 1, argv + argc));
    return agent.run();
}
