// The pure text functions with tricky edges: cuts by grapheme cluster, Unicode trimming,
// UTF-8 validity, the version order and the log line.
#include "util/Text.h"
#include "Log.h"
#include "config/VersionOrder.h"

#include <gtest/gtest.h>

#include <regex>

using namespace pavix;

TEST(Text, CutsCountClustersNotBytesOrCodePoints) {
    const std::string family =
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    const std::string eAcute = "e\xCC\x81"; // e and a combining acute
    const std::string text = family + eAcute + "x";
    struct Cut {
        std::string text;
        std::size_t count;
        std::string first, last;
    };
    for (const Cut& c : {Cut{text, 1, family, "x"}, Cut{text, 2, family + eAcute, eAcute + "x"},
                         Cut{text, 10, text, text}, Cut{"", 5, "", ""}, Cut{"abc", 0, "", ""},
                         Cut{"\r\nab", 1, "\r\n", "b"}}) {
        EXPECT_EQ(firstGraphemes(c.text, c.count), c.first) << c.text << " " << c.count;
        EXPECT_EQ(lastGraphemes(c.text, c.count), c.last) << c.text << " " << c.count;
    }
}

TEST(Text, TrimsUnicodeSpaceAndLineBreaksAndChecksUTF8) {
    EXPECT_EQ(trimSpaces(" \t a b \t"), "a b");
    EXPECT_EQ(trimSpaces("\xC2\xA0x\xE2\x80\x83"), "x"); // no-break space, em space
    EXPECT_EQ(trimSpaces("\nx\n"), "\nx\n");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \r\n\t x y \xE2\x80\xA8\xC2\x85"), "x y");
    EXPECT_EQ(trimWhitespaceAndNewlines(" \n \r\n "), "");
    EXPECT_TRUE(isValidUTF8("h\xC3\xA9llo"));
    for (const char* bad : {"\xC3", "\xFF", "\xED\xA0\x80" /* a surrogate */, "\xC0\xAF"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}

TEST(Text, VersionNamesCompareDigitRunsByValueAndTheRestByCodePoint) {
    struct Case {
        const char *a, *b;
        int order;
    };
    for (const Case& c :
         {Case{"2.0.9", "2.0.10", -1}, Case{"10.0.0", "9.9.9", 1},
          // Longer than any machine integer: no overflow.
          Case{"99999999999999999999", "100000000000000000000", -1}, Case{"2.01", "2.1", 0},
          Case{"0", "000", 0}, Case{"2.010", "2.9", 1}, Case{"1.2", "1.2.0", -1},
          Case{"2.0.0", "2.0.0-beta", -1}, Case{"A", "a", -1}, Case{"z", "\xc3\xa9", -1},
          Case{".hidden", "0", -1}, Case{"v10a", "v010a", 0}}) {
        int got = compareVersionNames(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.order) << c.a << " vs " << c.b;
    }
}

TEST(Text, LogLinesAreStampedInUTC) {
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    std::time_t now = std::time(nullptr);
    std::string line = logLine("one\ntwo");
    ::unsetenv("TZ");
    ::tzset();
    char expected[32];
    std::strftime(expected, sizeof expected, "[%Y-%m-%dT%H", std::gmtime(&now));
    EXPECT_EQ(line.substr(0, 14), expected) << line;
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\[[-0-9T:]{19}Z\] one\ntwo\n)"))) << line;
}
