#include "config/BridgeConfig.h"

#include "TempHome.h"

#include <gtest/gtest.h>

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

} // namespace

// The file holds the key: private from its first byte. A decodable file is the user's and
// is never rewritten; an undecodable one is kept aside before it is replaced.
TEST(BridgeConfig, FilesAreCreatedPrivateKeptAsTheyAreOrKeptAside) {
    TempHome home;
    const fs::path file = home.configFolder() / "bridge.json";
    auto created = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(created) << created.error().description;
    EXPECT_EQ(modeOf(file), 0600u); // its port and key's form: the pairing test's
    EXPECT_EQ(created->settings, "direct");
    EXPECT_EQ(BridgeConfig::loadOrCreate().value(), created.value());

    // A "listen" of the wrong type keeps the file (and its key): the service refuses it.
    writeText(file, R"({"port": 9000, "key": "abc", "listen": ["::1"]})", 0644);
    auto written = fs::last_write_time(file);
    EXPECT_EQ(BridgeConfig::loadOrCreate()->port, 9000);
    EXPECT_EQ(BridgeConfig::loadOrCreate()->listen, R"(["::1"])");
    EXPECT_EQ(fs::last_write_time(file), written);
    EXPECT_EQ(modeOf(file), 0644u);

    writeText(file, R"({"port": 9000)");
    auto fresh = BridgeConfig::loadOrCreate();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->port, 8790);
    EXPECT_EQ(modeOf(file), 0600u);
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(home.configFolder()))
        if (entry.path().filename().string().starts_with("bridge.json.corrupt-"))
            aside.push_back(readText(entry.path()));
    EXPECT_EQ(aside, std::vector<std::string>{R"({"port": 9000)"});
}
