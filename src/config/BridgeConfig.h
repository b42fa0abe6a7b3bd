#pragma once

#include "util/Result.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pavix {

/// The service's whole configuration, from "bridge.json" in the configuration folder.
struct BridgeConfig {
    /// The most runs "max_runs" may allow at once: each holds a Claude Code process, its
    /// pipes and its events in memory.
    static constexpr unsigned mostRuns = 16;
    /// The port of a fresh configuration, and the one the `mcp` mode asks when told none.
    static constexpr std::uint16_t defaultPort = 8790;

    std::uint16_t port = defaultPort;
    std::string key;
    std::optional<std::string> settings;
    std::optional<std::string> project;
    /// How many runs may be unfinished at once, from "max_runs" (1 to mostRuns); absent,
    /// null or unusable: one at a time, and GET v1/runs stays unknown.
    std::optional<unsigned> maxRuns;
    /// A present "max_runs" that was not usable, as written (compact JSON): the service says
    /// so at start, and it is written back unchanged.
    std::optional<std::string> unusableMaxRuns;
    /// The one address to listen on; every interface when absent. Not checked here: a
    /// value that is no address stops `serve`, never the file from decoding (which would
    /// replace it, key and all). A "listen" that is not a string is kept as its JSON
    /// text, which is no address either.
    std::optional<std::string> listen;

    /// Reads the file; when it is missing or undecodable, writes a fresh one (new key,
    /// `defaultPort`, settings "direct") and returns that. A decodable file is never touched;
    /// an undecodable one is first copied aside, and left alone (an error) if it can't be.
    static Result<BridgeConfig> loadOrCreate();

    /// 43 characters of unpadded base64url over 32 random bytes.
    static Result<std::string> randomKey();

    /// Nothing when `bytes` is not a valid configuration.
    static std::optional<BridgeConfig> decode(const std::string& bytes);
    /// Pretty-printed JSON with sorted member names; absent optionals left out.
    std::string encode() const;

    static std::filesystem::path path();

    bool operator==(const BridgeConfig&) const = default;
};

} // namespace pavix
