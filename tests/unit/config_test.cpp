#include "config/BridgeConfig.h"

#include "TempHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sys/stat.h>

using namespace pavix;
using namespace pavix::test;
namespace fs = std::filesystem;

namespace {

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

std::vector<fs::path> corruptCopies(const fs::path& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("bridge.json.corrupt-", 0) == 0)
            found.push_back(entry.path());
    return found;
}

} // namespace

TEST(BridgeConfig, CreatesFolderAndPrivateFileWhenNothingExists) {
    TempHome home;
    auto config = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(config.ok()) << config.error().description;
    fs::path file = home.configFolder() / "bridge.json";
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(config->port, 8790);
    EXPECT_EQ(config->settings, "direct");
    EXPECT_FALSE(config->project);

    auto onDisk = nlohmann::json::parse(readText(file));
    EXPECT_EQ(onDisk,
              (nlohmann::json{{"key", config->key}, {"port", 8790}, {"settings", "direct"}}));
    // Sorted member names, one per line.
    std::string text = readText(file);
    EXPECT_LT(text.find("\"key\""), text.find("\"port\""));
    EXPECT_LT(text.find("\"port\""), text.find("\"settings\""));
    EXPECT_NE(text.find('\n'), std::string::npos);

    auto again = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *config);
}

TEST(BridgeConfig, ValidFileIsReturnedUntouched) {
    TempHome home;
    fs::path file = home.configFolder() / "bridge.json";
    writeText(file, R"({"port": 9000, "key": "abc", "project": "/tmp/p", "extra": [1, 2]})", 0644);
    auto before = fs::last_write_time(file);

    auto config = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config->port, 9000);
    EXPECT_EQ(config->key, "abc");
    EXPECT_FALSE(config->settings);
    EXPECT_EQ(config->project, "/tmp/p");
    EXPECT_EQ(fs::last_write_time(file), before);
    EXPECT_EQ(modeOf(file), 0644u);
    EXPECT_NE(readText(file).find("extra"), std::string::npos);
    EXPECT_TRUE(corruptCopies(home.configFolder()).empty());

    writeText(file, R"({"port": 1, "key": "k", "settings": null, "project": null})");
    config = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(config.ok());
    EXPECT_EQ(config->port, 1);
    EXPECT_FALSE(config->settings) << "null reads as absent";
    EXPECT_FALSE(config->project);
}

TEST(BridgeConfig, UndecodableFilesAreReplacedAndKeptAside) {
    const char* invalid[] = {
        R"({"port": 70000, "key": "k"})",
        R"({"port": -1, "key": "k"})",
        R"({"port": "8790", "key": "k"})",
        R"({"port": 8790})",
        R"({"port": 8790.5, "key": "k"})",
        R"({"port": 8790, "key": 5})",
        R"({"port": 8790, "key": "k", "settings": 3})",
        "",
        R"({"port": 8790, "key": "k")",
        "[1, 2]",
    };
    for (const char* text : invalid) {
        TempHome home;
        fs::path file = home.configFolder() / "bridge.json";
        writeText(file, text);
        auto config = BridgeConfig::loadOrCreate();
        ASSERT_TRUE(config.ok()) << text;
        EXPECT_EQ(config->port, 8790) << text;
        EXPECT_EQ(config->key.size(), 43u) << text;
        EXPECT_EQ(modeOf(file), 0600u) << text;
        auto copies = corruptCopies(home.configFolder());
        ASSERT_EQ(copies.size(), 1u) << text;
        EXPECT_EQ(readText(copies[0]), text);
    }
}

TEST(BridgeConfig, KeysAreUnpaddedBase64urlOf32Bytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        auto key = BridgeConfig::randomKey();
        ASSERT_TRUE(key.ok());
        ASSERT_EQ(key->size(), 43u);
        for (char c : *key)
            ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
                << *key;
        seen.insert(*key);
    }
    EXPECT_EQ(seen.size(), 500u);
}
