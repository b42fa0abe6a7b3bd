#include "PrivateMounts.h"

#include "util/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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
    if (mounts->previousNamespace_ < 0 || mounts->previousFolder_ < 0)
        return systemError("/proc/self/ns/mnt", errno);
    // unshare(CLONE_NEWNS) moves only this thread (it implies CLONE_FS).
    if (::unshare(CLONE_NEWNS) != 0) return systemError("unshare(CLONE_NEWNS)", errno);
    // Without this, mounts would propagate to the shared peers outside (systemd's default).
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return systemError("/ made private", errno);
    // Containers may allow the namespace but not mounts in it: find out now, so that
    // tests skip instead of failing halfway.
    char probe[] = "/tmp/pavix-mount-probe-XXXXXX";
    if (!::mkdtemp(probe)) return systemError("mkdtemp", errno);
    bool mountable = ::mount("pavix-probe", probe, "tmpfs", 0, "size=4096") == 0;
    int mountError = errno;
    if (mountable) ::umount2(probe, MNT_DETACH);
    ::rmdir(probe);
    if (!mountable) return systemError("tmpfs mount", mountError);
    return mounts;
}

PrivateMounts::~PrivateMounts() {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH);
    if (previousNamespace_ >= 0) {
        ::setns(previousNamespace_, CLONE_NEWNS); // which also moves us to its root folder
        ::close(previousNamespace_);
    }
    if (previousFolder_ >= 0) {
        (void)::fchdir(previousFolder_);
        ::close(previousFolder_);
    }
}

Status PrivateMounts::mountTmpfs(const fs::path& folder, std::size_t bytes) {
    std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("pavix-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
        return systemError(folder, errno);
    mounted_.push_back(folder);
    return done();
}

Status PrivateMounts::makeReadOnly(const fs::path& folder) {
    if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return systemError(folder, errno);
    mounted_.push_back(folder);
    // A bind mount takes read-only only from a remount.
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
        return systemError(folder, errno);
    return done();
}

Status PrivateMounts::unmount(const fs::path& folder) {
    auto last = std::find(mounted_.rbegin(), mounted_.rend(), folder);
    if (last == mounted_.rend()) return Error{folder.string() + ": not mounted here"};
    // Detached, since a process working inside (an agent in its session's folder) keeps a
    // mount busy; paths looked up from now on find what lies beneath.
    if (::umount2(folder.c_str(), MNT_DETACH) != 0) return systemError(folder, errno);
    mounted_.erase(std::next(last).base());
    return done();
}

} // namespace pavix::test
