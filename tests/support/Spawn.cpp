#include "Spawn.h"

#include "platform/Spawn.h"

#include <fcntl.h>

extern char** environ;

namespace pavix::test {

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    return variables;
}

pid_t spawnProcess(const std::vector<std::string>& argv, const EnvironmentChanges& changes, int in,
                   int out, int err) {
    std::map<std::string, std::string> variables = currentEnvironment();
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    LaunchPlan plan;
    plan.program = argv.at(0);
    plan.arguments.assign(argv.begin() + 1, argv.end());
    plan.searchPath = true;
    plan.environment = std::move(variables);
    std::vector<Descriptor> raised; // the spawn layer takes only descriptors above 2
    int wanted[] = {in, out, err};
    for (int fd = 0; fd < 3; ++fd) {
        if (wanted[fd] < 0 || wanted[fd] == fd) continue;
        int given = wanted[fd] > 2 ? wanted[fd] : ::fcntl(wanted[fd], F_DUPFD_CLOEXEC, 3);
        if (given != wanted[fd]) raised.emplace_back(given);
        plan.standard[static_cast<std::size_t>(fd)] = given;
    }
    auto pid = pavix::spawnProcess(plan);
    return pid ? *pid : -1;
}

} // namespace pavix::test
