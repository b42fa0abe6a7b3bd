#include "Log.h"
#include "util/Ids.h"
#include "util/Text.h"

#include <gtest/gtest.h>

#include <regex>

using namespace pavix;

TEST(Graphemes, CountClustersNotBytesOrCodePoints) {
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"; // ZWJ sequence
    const std::string eAcute = "e\xCC\x81"; // e + combining acute
    std::string text = family + eAcute + "x";
    EXPECT_EQ(firstGraphemes(text, 1), family);
    EXPECT_EQ(firstGraphemes(text, 2), family + eAcute);
    EXPECT_EQ(firstGraphemes(text, 10), text);
    EXPECT_EQ(lastGraphemes(text, 2), eAcute + "x");
    EXPECT_EQ(lastGraphemes(text, 3), text);
    EXPECT_EQ(firstGraphemes("", 5), "");
    EXPECT_EQ(lastGraphemes("abc", 0), "");
    EXPECT_EQ(firstGraphemes("\r\nab", 1), "\r\n");
}

TEST(Trimming, HorizontalSpaceVersusLineBreaks) {
    EXPECT_EQ(trimSpaces(" \t a b \t"), "a b");
    EXPECT_EQ(trimSpaces("\xC2\xA0x\xE2\x80\x83"), "x"); // no-break space, em space
    EXPECT_EQ(trimSpaces("\nx\n"), "\nx\n");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \r\n\t x y \xE2\x80\xA8\xC2\x85"), "x y");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n \r\n "), "");
}

TEST(Utf8, Validity) {
    EXPECT_TRUE(isValidUTF8("h\xC3\xA9llo"));
    EXPECT_FALSE(isValidUTF8("\xC3"));
    EXPECT_FALSE(isValidUTF8("\xFF"));
    EXPECT_FALSE(isValidUTF8("\xED\xA0\x80")); // surrogate
}

TEST(Ids, Shapes) {
    std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::regex run("run_[0-9a-f]{20}");
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(std::regex_match(newUUID(), uuid));
        EXPECT_TRUE(std::regex_match(newRunId(), run));
        std::string session = newSessionId();
        EXPECT_EQ(session.rfind("pavix-", 0), 0u);
        EXPECT_TRUE(std::regex_match(session.substr(6), uuid));
    }
}

TEST(Log, LineShape) {
    std::regex stamp(R"(\[\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z\] )");
    std::string empty = logLine("");
    EXPECT_EQ(empty.size(), 24u); // "[" + 20 + "] " + "\n"
    EXPECT_TRUE(std::regex_match(empty.substr(0, 23), stamp));
    EXPECT_EQ(empty.back(), '\n');

    std::string multi = logLine("one\ntwo");
    EXPECT_EQ(multi.substr(23), "one\ntwo\n");
    EXPECT_EQ(logLine("h\xC3\xA9").substr(23), "h\xC3\xA9\n");

    // UTC whatever the zone.
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::string line = logLine("x");
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(std::stoi(line.substr(12, 2)), utc.tm_hour);
}
