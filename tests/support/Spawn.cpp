#include "Spawn.h"

#include <csignal>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace pavix::test {

pid_t spawnProcess(const std::vector<std::string>& argv, const EnvironmentChanges& changes, int in,
                   int out, int err) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    std::vector<std::string> entries;
    entries.reserve(variables.size()); // `envp` points into it
    std::vector<char*> envp, args;
    for (const auto& [name, value] : variables)
        envp.push_back(entries.emplace_back(name + "=" + value).data());
    for (const auto& word : argv)
        args.push_back(const_cast<char*>(word.c_str()));
    envp.push_back(nullptr);
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        if (int wanted = fd == 0 ? in : fd == 1 ? out : err; wanted >= 0)
            posix_spawn_file_actions_adddup2(&actions, wanted, fd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef __APPLE__
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#else
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = -1;
    int failed = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed == 0 ? pid : -1;
}

} // namespace pavix::test
