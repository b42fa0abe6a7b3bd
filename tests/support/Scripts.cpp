#include "Scripts.h"

#include "TempHome.h"

#include <fcntl.h>
#include <unistd.h>

namespace pavix::test {

std::filesystem::path writeScript(const std::filesystem::path& folder, const std::string& name,
                                  const std::string& body) {
    auto path = folder / name;
    writeText(path, "#!/bin/sh\n" + body + "\n", 0755);
    return path;
}

int openDescriptorCount() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) >= 0) ++count;
    return count;
}

} // namespace pavix::test
