// Text functions with tricky edges: UTF-8 validity and the version order.
#include "util/Text.h"
#include "config/VersionOrder.h"

#include <gtest/gtest.h>

using namespace pavix;

TEST(Text, ChecksUTF8) {
    EXPECT_TRUE(isValidUTF8("h\xC3\xA9llo") && isValidUTF8("ASCII first\xC3\xA9, then more"));
    for (const char* bad : {"\xC3", "\xFF", "\xED\xA0\x80" /* a surrogate */, "\xC0\xAF",
                            "eight+ ASCII\xC3", "seven \xFF then ASCII"})
        EXPECT_FALSE(isValidUTF8(bad)) << bad;
}

// Unicode's white space and line breaks at either end, never a character that ends in the
// same bytes as one.
TEST(Text, TrimsUnicodeSpaceAtTheEndsOnly) {
    EXPECT_EQ(trimWhitespaceAndNewlines("\u3000\t\n Say\u00A0hi \u2028\u0085\r\n"), "Say\u00A0hi");
    EXPECT_EQ(trimWhitespaceAndNewlines(" caf\u00E9\u3000"), "caf\u00E9");
    EXPECT_EQ(trimWhitespaceAndNewlines("\u2029 \u00A0"), "");
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE3\x80"), "\xE3\x80"); // a cut-off character stays
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
