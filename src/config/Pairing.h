#pragma once

#include "config/BridgeConfig.h"

#include <optional>
#include <string>

namespace pavix {

/// What the phone app is given to pair: the port in decimal, a space, the key.
std::string pairingLine(const BridgeConfig& config);

/// What `setup` shows on a terminal after the pairing line: that line (without its line
/// feed) as a QR code, then each address a phone can reach this computer at, one
/// "address <address> (<interface>)" line each, and "port <port>". `listen`, when set, is
/// the one address the service listens on, and the only one shown unless it stands for
/// every address ("0.0.0.0": every IPv4 address, "::": every address).
std::string pairingGuide(const BridgeConfig& config, const std::optional<std::string>& listen);

} // namespace pavix
