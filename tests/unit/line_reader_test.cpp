#include "mcp/LineReader.h"

#include "TempHome.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace pavix;
using namespace pavix::test;

namespace {

std::vector<std::string> linesOf(const std::string& text) {
    TempFolder folder;
    writeText(folder.path() / "input", text);
    int fd = ::open((folder.path() / "input").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    LineReader reader(fd);
    std::vector<std::string> lines;
    while (auto line = reader.next())
        lines.push_back(*line);
    EXPECT_EQ(reader.next(), std::nullopt) << "the end stays the end";
    ::close(fd);
    return lines;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(LineReader, SplitsAtLineFeedsAndDropsOneCarriageReturnBeforeThem) {
    EXPECT_EQ(linesOf(""), Lines{});
    EXPECT_EQ(linesOf("a\nb\r\n\r\n\nlast"), (Lines{"a", "b", "", "", "last"}));
    EXPECT_EQ(linesOf("a\rb\r\r\nc\r"), (Lines{"a\rb\r", "c"}));
}

TEST(LineReader, LinesLongerThanOneReadStayWhole) {
    std::string longLine(200'000, 'x');
    longLine[70'000] = 'y';
    EXPECT_EQ(linesOf(longLine + "\r\nshort\n" + longLine), (Lines{longLine, "short", longLine}));
}
