// Paths with characters that mean something in a property list or a systemd unit.
#include "platform/LoginItemFiles.h"

#include <gtest/gtest.h>

using namespace pavix;

TEST(LoginItemFiles, PathsAreEscapedForTheirFormat) {
    std::string plist = launchAgentPlist("/Users/a&b/<x>/pavix-bridge", "/Users/a&b/log");
    EXPECT_NE(plist.find("<string>/Users/a&amp;b/&lt;x&gt;/pavix-bridge</string>"),
              std::string::npos)
        << plist;
    EXPECT_NE(plist.find("<string>/Users/a&amp;b/log</string>"), std::string::npos) << plist;
    std::string unit = systemdUnit(R"(/home/a "b" \c %h $HOME/pavix-bridge)", "/home/100%n $d/log");
    EXPECT_NE(unit.find(R"(ExecStart="/home/a \"b\" \\c %%h $HOME/pavix-bridge" serve)"),
              std::string::npos)
        << unit;
    // After "append:" the rest of the line is the path; only specifiers are expanded there.
    EXPECT_NE(unit.find("StandardOutput=append:/home/100%%n $d/log\n"), std::string::npos) << unit;
}
