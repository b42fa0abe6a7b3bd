#include "util/Descriptors.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

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
