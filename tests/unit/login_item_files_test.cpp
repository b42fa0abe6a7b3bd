#include "platform/LoginItemFiles.h"

#include <gtest/gtest.h>

using namespace pavix;

TEST(LaunchAgentPlist, IsWhatApplesSerializerWritesForTheSevenKeys) {
    EXPECT_EQ(launchAgentPlist("/Users/ann/Library/Application Support/pavix/pavix-bridge",
                               "/Users/ann/Library/Logs/pavix-bridge.log"),
              R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>KeepAlive</key>
	<true/>
	<key>Label</key>
	<string>com.tolvarin.pavix.bridge</string>
	<key>ProcessType</key>
	<string>Interactive</string>
	<key>ProgramArguments</key>
	<array>
		<string>/Users/ann/Library/Application Support/pavix/pavix-bridge</string>
		<string>serve</string>
	</array>
	<key>RunAtLoad</key>
	<true/>
	<key>StandardErrorPath</key>
	<string>/Users/ann/Library/Logs/pavix-bridge.log</string>
	<key>StandardOutPath</key>
	<string>/Users/ann/Library/Logs/pavix-bridge.log</string>
</dict>
</plist>
)");
}

TEST(LaunchAgentPlist, EscapesMarkupInPaths) {
    std::string plist = launchAgentPlist("/Users/a&b/<x>/\"q\" 'p'/pavix-bridge",
                                         "/Users/a&b/<x>/Library/Logs/pavix-bridge.log");
    EXPECT_NE(plist.find("\t\t<string>/Users/a&amp;b/&lt;x&gt;/\"q\" 'p'/pavix-bridge</string>\n"),
              std::string::npos)
        << plist;
    EXPECT_NE(
        plist.find("\t<key>StandardErrorPath</key>\n"
                   "\t<string>/Users/a&amp;b/&lt;x&gt;/Library/Logs/pavix-bridge.log</string>\n"
                   "\t<key>StandardOutPath</key>\n"
                   "\t<string>/Users/a&amp;b/&lt;x&gt;/Library/Logs/pavix-bridge.log</string>\n"),
        std::string::npos)
        << plist;
}

TEST(SystemdUnit, KeepsQuotesBackslashesSpecifiersAndDollarsLiteral) {
    std::string unit = systemdUnit(R"(/home/a "b" \c %h $HOME ${X}/pavix-bridge)",
                                   "/home/100%n $d/Library/Logs/pavix-bridge.log");
    EXPECT_NE(unit.find(R"(ExecStart="/home/a \"b\" \\c %%h $HOME ${X}/pavix-bridge" serve)"
                        "\n"),
              std::string::npos)
        << unit;
    // After "append:" the rest of the line is the path; only specifiers are expanded there.
    EXPECT_NE(unit.find("StandardOutput=append:/home/100%%n $d/Library/Logs/pavix-bridge.log\n"
                        "StandardError=append:/home/100%%n $d/Library/Logs/pavix-bridge.log\n"),
              std::string::npos)
        << unit;
}
