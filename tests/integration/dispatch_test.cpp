#include "RunProgram.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace pavix::test;

namespace {
const std::string usage = "usage: pavix-bridge [serve | setup | install | uninstall]\n";
}

TEST(Dispatch, UnknownWordsPrintUsageWithStatus2) {
    TempHome home;
    for (std::vector<std::string> words :
         {std::vector<std::string>{"Serve"}, {"SETUP"}, {""}, {"help"}, {"--version"}}) {
        auto result = runBridge(words);
        EXPECT_EQ(result.status, 2) << words[0];
        EXPECT_EQ(result.out, usage) << words[0];
        EXPECT_EQ(result.err, "");
    }
    EXPECT_FALSE(std::filesystem::exists(home.configFolder()));
}

TEST(Dispatch, SetupCreatesThenRepeatsThePairingLine) {
    TempHome home;
    auto first = runBridge({"setup"});
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(first.out.size(), std::string("8790 ").size() + 43 + 1);
    EXPECT_EQ(first.out.rfind("8790 ", 0), 0u);
    auto second = runBridge({"setup", "extra", "words"});
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, first.out);
}

TEST(Dispatch, SetupFailureGoesToStandardErrorWithoutTimestamp) {
    TempHome home;
    // A file where the Library folder should be makes the folder impossible to create.
    writeText(home.path() / "Library", "not a folder");
    auto result = runBridge({"setup"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("couldn't create the config: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.back(), '\n');
}

TEST(Dispatch, ServeStartupFailureIsLoggedWithStatus1) {
    TempHome home;
    writeText(home.path() / "Library", "not a folder");
    for (std::vector<std::string> words : {std::vector<std::string>{}, {"serve", "extra"}}) {
        auto result = runBridge(words);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("] couldn't start: "), std::string::npos) << result.err;
    }
}
