#include "PrivateMounts.h"

#include "util/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace pavix::test {

namespace fs = std::filesystem;

Result<std::unique_ptr<PrivateMounts>> PrivateMounts::create() {
    if (::geteuid() != 0) return Error{"mount namespaces need root"};
    std::unique_ptr<PrivateMounts> mounts(new PrivateMounts);
    mounts->previousNamespace_ = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    mounts->previousFolder_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // unshare(CLONE_NEWNS) moves only this thread; without MS_PRIVATE, mounts would
    // propagate to the peers outside (systemd's default).
    if (mounts->previousNamespace_ < 0 || mounts->previousFolder_ < 0 ||
        ::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return systemError("a private mount namespace", errno);
    // Find out now whether mounts are allowed here, so that tests skip, not fail halfway.
    char probe[] = "/tmp/pavix-mount-probe-XXXXXX";
    if (!::mkdtemp(probe)) return systemError("mkdtemp", errno);
    int mounted = ::mount("pavix-probe", probe, "tmpfs", 0, "size=4096");
    int error = errno;
    if (mounted == 0) ::umount2(probe, MNT_DETACH);
    ::rmdir(probe);
    if (mounted != 0) return systemError("tmpfs mount", error);
    return mounts;
}

PrivateMounts::~PrivateMounts() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH); // detached: an agent working inside keeps it busy
    if (previousNamespace_ >= 0) ::setns(previousNamespace_, CLONE_NEWNS);
    if (previousFolder_ >= 0) (void)::fchdir(previousFolder_);
    for (int fd : {previousNamespace_, previousFolder_})
        if (fd >= 0) ::close(fd);
}

Status PrivateMounts::mountTmpfs(const fs::path& folder, std::size_t bytes) {
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("pavix-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        return systemError(folder, errno);
    mounted_.push_back(folder);
    return done();
}

} // namespace pavix::test
