#include "config/Pairing.h"

#include "platform/NetworkAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <qrencode.h>

namespace pavix {

namespace {

// The light margin, in modules, that the QR standard asks for around a symbol.
constexpr int quietZone = 4;
// Fixed black on fixed white from the 256-colour cube, which themes leave alone (unlike the
// 16 named colours), so the code reads the same on dark and light terminals.
constexpr const char* rowStart = "\x1b[38;5;16;48;5;231m";
constexpr const char* rowEnd = "\x1b[0m\n";

// Two module rows per text row: the foreground draws dark modules, the background is light.
std::string drawModules(const QRcode& code) {
    const int span = code.width + 2 * quietZone;
    auto dark = [&](int row, int column) {
        row -= quietZone;
        column -= quietZone;
        return row >= 0 && row < code.width && column >= 0 && column < code.width &&
               (code.data[row * code.width + column] & 1) != 0;
    };
    std::string drawing;
    for (int row = 0; row < span; row += 2) {
        drawing += rowStart;
        for (int column = 0; column < span; ++column) {
            bool top = dark(row, column), bottom = dark(row + 1, column);
            drawing += top ? (bottom ? "█" : "▀") : (bottom ? "▄" : " ");
        }
        drawing += rowEnd;
    }
    return drawing;
}

Result<std::string> drawQRCode(const std::string& text) {
    QRcode* code =
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M);
    if (!code) return Error{std::strerror(errno)};
    std::string drawing = drawModules(*code);
    QRcode_free(code);
    return drawing;
}

std::string addressLines(const std::optional<std::string>& listen) {
    bool ipv4Only = false;
    if (listen) {
        unsigned char bytes[sizeof(in6_addr)] = {};
        const int family = ::inet_pton(AF_INET, listen->c_str(), bytes) == 1 ? AF_INET : AF_INET6;
        if (family == AF_INET6 && ::inet_pton(AF_INET6, listen->c_str(), bytes) != 1)
            return "\"listen\" in bridge.json is not an IP address\n";
        if (std::any_of(std::begin(bytes), std::end(bytes), [](auto byte) { return byte != 0; })) {
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(family, bytes, text, sizeof text);
            return "address " + std::string(text) + "\n";
        }
        ipv4Only = family == AF_INET;
    }
    auto addresses = networkAddresses();
    if (!addresses) return "couldn't list the addresses: " + addresses.error().description + "\n";
    std::string lines;
    for (const NetworkAddress& address : *addresses)
        if (!ipv4Only || address.address.find(':') == std::string::npos)
            lines += "address " + address.address + " (" + address.interfaceName + ")\n";
    return lines.empty() ? "no address here that a phone can reach\n" : lines;
}

} // namespace

std::string pairingLine(const BridgeConfig& config) {
    return std::to_string(config.port) + " " + config.key;
}

std::string pairingGuide(const BridgeConfig& config, const std::optional<std::string>& listen) {
    auto code = drawQRCode(pairingLine(config));
    std::string guide =
        code ? *code : "couldn't draw the QR code: " + code.error().description + "\n";
    return guide + addressLines(listen) + "port " + std::to_string(config.port) + "\n";
}

} // namespace pavix
