// `setup` as a person at a terminal meets it: the code on screen scans back to the pairing
// line on a dark and on a light theme, and the addresses listed are this computer's.
#include "config/Pairing.h"
#include "RunProgram.h"
#include "TempHome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

using namespace pavix::test;

namespace {

using Picture = std::vector<std::vector<bool>>; // true: dark

// What a terminal shows for the text, one pixel per half cell. Only the 256-colour cube's
// black (16) and white (231) are fixed; every other colour is left to the theme.
Picture paint(const std::string& text, bool darkTheme) {
    Picture picture;
    std::istringstream lines(text);
    // Foreground and background, kept from line to line as a terminal does: a fixed colour,
    // or -1 for the theme's own (text light on a dark theme, dark on a light one).
    int colours[2] = {-1, -1}, a = 0, b = 0, c = 0, d = 0, n = 0;
    auto dark = [&](int i) { return colours[i] < 0 ? darkTheme == (i == 1) : colours[i] == 16; };
    for (std::string line; std::getline(lines, line);) {
        std::vector<bool> top, bottom;
        for (std::size_t at = 0; at < line.size(); at += n) {
            n = 0;
            if (std::sscanf(&line[at], "\x1b[%d;5;%d;%d;5;%dm%n", &a, &b, &c, &d, &n) == 4 && n) {
                colours[a == 48] = b == 16 || b == 231 ? b : -1;
                colours[c == 48] = d == 16 || d == 231 ? d : -1;
            } else if (line.compare(at, 4, "\x1b[0m") == 0) {
                colours[0] = colours[1] = -1;
                n = 4;
            } else {
                bool full = line.compare(at, 3, "█") == 0;
                top.push_back(dark(full || line.compare(at, 3, "▀") == 0 ? 0 : 1));
                bottom.push_back(dark(full || line.compare(at, 3, "▄") == 0 ? 0 : 1));
                n = line[at] == ' ' ? 1 : 3;
            }
        }
        picture.insert(picture.end(), {top, bottom});
    }
    return picture;
}

// The picture as a camera sees it on the terminal's background: what zbarimg reads in it,
// followed by a line feed.
std::string scan(const Picture& picture, bool darkTheme) {
    const std::size_t scale = 6, margin = 12, width = picture.at(0).size() + 2 * margin;
    std::string image = "P5 " + std::to_string(width * scale) + " " +
                        std::to_string((picture.size() + 2 * margin) * scale) + " 255\n";
    for (std::size_t y = 0; y < (picture.size() + 2 * margin) * scale; ++y)
        for (std::size_t x = 0; x < width * scale; ++x) {
            std::size_t row = y / scale - margin, column = x / scale - margin;
            bool inside = row < picture.size() && column < picture[row].size();
            image += (inside ? picture[row][column] : darkTheme) ? '\0' : '\xff';
        }
    TempFolder folder;
    writeText(folder.path() / "code.pgm", image);
    return runProgram("zbarimg", {"--raw", "-q", (folder.path() / "code.pgm").string()}).out;
}

// The addresses `ip` reports, loopback and IPv6 link-local ones left out.
std::vector<std::string> ipAddresses() {
    std::vector<std::string> addresses;
    std::istringstream lines(runProgram("ip", {"-o", "address", "show", "up"}).out);
    for (std::string line; std::getline(lines, line);) {
        std::string index, name, family, address;
        std::istringstream(line) >> index >> name >> family >> address;
        if (line.find(" scope host ") == std::string::npos &&
            (family == "inet" || line.find(" scope link ") == std::string::npos))
            addresses.push_back("address " + address.substr(0, address.find('/')) + " (" + name +
                                ")");
    }
    return addresses;
}

} // namespace

TEST(Pairing, OnATerminalTheCodeScansToTheLineAndTheAddressesFollow) {
    TempHome home;
    auto piped = runBridge({"setup"});
    ASSERT_THAT(piped.out, testing::MatchesRegex("8790 [A-Za-z0-9_-]{43}\n")) << "only the line";
    // util-linux's script runs it on a pseudo-terminal, which turns each "\n" into "\r\n".
    auto shown = runProgram("script", {"-qec", PAVIX_BRIDGE_PATH " setup", "/dev/null"});
    std::erase(shown.out, '\r');
    EXPECT_EQ(shown.status, 0);
    ASSERT_EQ(shown.out.substr(0, piped.out.size()), piped.out) << "the same line first";
    std::string drawing;
    std::vector<std::string> addresses = ipAddresses(), rest;
    addresses.push_back("port 8790");
    std::istringstream lines(shown.out.substr(piped.out.size()));
    for (std::string line; std::getline(lines, line);)
        line.starts_with("\x1b[") ? drawing += line + "\n" : rest.emplace_back(line);
    Picture onDark = paint(drawing, true);
    std::size_t darkAtEdge = 0; // within the 4-module light margin the standard asks for
    for (std::size_t r = 0; r < onDark.size(); ++r)
        for (std::size_t c = 0; c < onDark[r].size(); ++c)
            darkAtEdge += onDark[r][c] &&
                          std::min({r, c, onDark.size() - 1 - r, onDark[r].size() - 1 - c}) < 4;
    EXPECT_EQ(darkAtEdge, 0u);
    EXPECT_EQ(scan(onDark, true), piped.out) << "on a dark theme";
    EXPECT_EQ(scan(paint(drawing, false), false), piped.out) << "on a light theme";
    EXPECT_THAT(rest, testing::UnorderedElementsAreArray(addresses));
    EXPECT_TRUE(shown.out.ends_with("\nport 8790\n"));
    // A chosen listen address is the one shown, as the system writes it, and only if it is one.
    for (auto [listen, lines] : std::map<std::string, std::string>{
             {"192.0.2.7", "address 192.0.2.7\n"},
             {"::0001", "address ::1\n"},
             {"x\x1b[2J", "\"listen\" in bridge.json is not an IP address\n"}})
        EXPECT_TRUE(pavix::pairingGuide({}, listen).ends_with("\x1b[0m\n" + lines + "port 8790\n"));
}
