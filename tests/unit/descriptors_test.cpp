#include "util/Descriptors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace pavix;

TEST(Descriptors, SoftLimitIsRaisedToTheHardOne) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 64) GTEST_SKIP() << "hard limit too low to lower the soft one";
    rlimit low = saved;
    low.rlim_cur = 32;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    raiseDescriptorLimit();
    rlimit raised{};
    ::getrlimit(RLIMIT_NOFILE, &raised);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_GT(raised.rlim_cur, 32u);
    EXPECT_EQ(raised.rlim_max, saved.rlim_max);
}

TEST(Descriptors, CloseOnExecIsSetAndKept) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    setCloseOnExec(fds[0]);
    setCloseOnExec(fds[0]);
    EXPECT_TRUE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(fds[1], F_GETFD) & FD_CLOEXEC);
    ::close(fds[0]);
    ::close(fds[1]);
}
