#include "run/ClaudeRun.h"

#include "ScopedEnv.h"
#include "TempHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pavix;
using namespace pavix::test;
using Strings = std::vector<std::string>;

TEST(ClaudeRunLaunch, ArgumentListAddsOptionalGroupsInFixedOrder) {
    const Strings fixed = {"-p",
                           "--input-format",
                           "stream-json",
                           "--output-format",
                           "stream-json",
                           "--verbose",
                           "--include-partial-messages",
                           "--permission-prompt-tool",
                           "mcp__pavix__approve",
                           "--mcp-config",
                           "{}"};
    EXPECT_EQ(ClaudeRun::arguments("{}", false, std::nullopt, std::nullopt), fixed);
    Strings all = fixed;
    all.insert(all.end(), {"--setting-sources", "project,local", "--append-system-prompt", "x",
                           "--resume", "s-1"});
    EXPECT_EQ(ClaudeRun::arguments("{}", true, std::string("x"), std::string("s-1")), all);
}

TEST(ClaudeRunLaunch, McpConfigurationIsCompactAndNamesThisRun) {
    auto text = ClaudeRun::mcpConfiguration("/Applications/pavix/pavix-bridge", 8790,
                                            "run_0123456789abcdef0123");
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text,
              R"({"mcpServers":{"pavix":{"args":["mcp","--port","8790","--run",)"
              R"("run_0123456789abcdef0123"],"command":"/Applications/pavix/pavix-bridge"}}})");
}

TEST(ClaudeRunLaunch, EnvironmentDropsClaudeNamesAndInDirectModeAnthropicOnes) {
    TempHome home;
    ScopedEnv claude("CLAUDECODE", "1"), entry("CLAUDE_CODE_ENTRYPOINT", "cli"),
        apiKey("ANTHROPIC_API_KEY", "secret"), bare("ANTHROPIC", "kept"),
        inside("MY_CLAUDE_HOME", "/x"), lower("claude_lower", "kept"),
        path("PATH", "/usr/bin:/bin");

    auto direct = ClaudeRun::environment(true);
    for (const auto& [name, value] : direct) {
        EXPECT_NE(name.rfind("CLAUDE", 0), 0u) << name;
        EXPECT_NE(name.rfind("ANTHROPIC_", 0), 0u) << name;
    }
    EXPECT_EQ(direct.at("MY_CLAUDE_HOME"), "/x");
    EXPECT_EQ(direct.at("ANTHROPIC"), "kept");
    EXPECT_EQ(direct.at("claude_lower"), "kept");
    EXPECT_EQ(direct.at("HOME"), home.path().string());
    EXPECT_EQ(direct.at("PATH"), "/opt/homebrew/bin:/usr/local/bin:" + home.path().string() +
                                     "/.local/bin:/usr/bin:/bin");

    auto settings = ClaudeRun::environment(false);
    EXPECT_EQ(settings.at("ANTHROPIC_API_KEY"), "secret");
    EXPECT_EQ(settings.count("CLAUDECODE"), 0u);
}

TEST(ClaudeRunLaunch, EnvironmentWithoutPathGetsTheSystemDefault) {
    TempHome home;
    ScopedEnv path("PATH", std::nullopt);
    EXPECT_EQ(ClaudeRun::environment(true).at("PATH"),
              "/opt/homebrew/bin:/usr/local/bin:" + home.path().string() +
                  "/.local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
}

TEST(ClaudeRunLaunch, PreviewTakesTheFirstTellingStringCutTo300Clusters) {
    using nlohmann::json;
    EXPECT_EQ(ClaudeRun::preview(nullptr), std::nullopt);
    json both = {{"file_path", "/a/b"}, {"command", "ls -l"}};
    EXPECT_EQ(ClaudeRun::preview(&both), "ls -l");
    json skipped = {{"command", ""}, {"path", 7}, {"pattern", "*.cpp"}};
    EXPECT_EQ(ClaudeRun::preview(&skipped), "*.cpp");
    json none = {{"content", "x"}, {"limit", 3}};
    EXPECT_EQ(ClaudeRun::preview(&none), std::nullopt);
    // 1000 flags, each one cluster of two code points.
    std::string flags;
    for (int i = 0; i < 1000; ++i)
        flags += "\U0001F1EB\U0001F1F7";
    json longCommand = {{"command", flags}};
    EXPECT_EQ(ClaudeRun::preview(&longCommand), flags.substr(0, 300 * 8));
}
