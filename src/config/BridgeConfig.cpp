#include "config/BridgeConfig.h"

#include "util/Files.h"
#include "util/Ids.h"

#include <nlohmann/json.hpp>

#include <cerrno>

namespace pavix {

namespace fs = std::filesystem;
using nlohmann::json;

fs::path BridgeConfig::path() {
    return configFolder() / "bridge.json";
}

static std::string base64url(const std::string& bytes) {
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::size_t i = 0;
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
        for (int shift = 18; shift >= 0; shift -= 6)
            out.push_back(alphabet[(v >> shift) & 63]);
    }
    if (std::size_t rest = bytes.size() - i; rest > 0) {
        unsigned v = byte(i) << 16;
        if (rest == 2) v |= byte(i + 1) << 8;
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        if (rest == 2) out.push_back(alphabet[(v >> 6) & 63]);
    }
    return out;
}

Result<std::string> BridgeConfig::randomKey() {
    auto bytes = randomBytes(32);
    if (!bytes) return bytes.error();
    return base64url(bytes.value());
}

static bool readOptional(const json& object, const char* name, std::optional<std::string>& out) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

// A bad "max_runs" costs the user only the parallel runs, never the key: it does not make
// the file undecodable.
static void readMaxRuns(const json& object, BridgeConfig& config) {
    auto it = object.find("max_runs");
    if (it == object.end() || it->is_null()) return;
    if (it->is_number_integer() && *it >= 1 && *it <= BridgeConfig::mostRuns)
        config.maxRuns = it->get<unsigned>();
    else
        config.unusableMaxRuns = it->dump();
}

std::optional<BridgeConfig> BridgeConfig::decode(const std::string& bytes) {
    json object = json::parse(bytes, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    auto port = object.find("port");
    auto key = object.find("key");
    if (port == object.end() || key == object.end() || !key->is_string()) return std::nullopt;
    BridgeConfig config;
    if (port->is_number_unsigned()) {
        auto value = port->get<std::uint64_t>();
        if (value > 65535) return std::nullopt;
        config.port = static_cast<std::uint16_t>(value);
    } else if (port->is_number_integer()) {
        auto value = port->get<std::int64_t>();
        if (value < 0 || value > 65535) return std::nullopt;
        config.port = static_cast<std::uint16_t>(value);
    } else {
        return std::nullopt;
    }
    config.key = key->get<std::string>();
    if (!readOptional(object, "settings", config.settings)) return std::nullopt;
    if (!readOptional(object, "project", config.project)) return std::nullopt;
    readMaxRuns(object, config);
    if (auto listen = object.find("listen"); listen != object.end() && !listen->is_null())
        config.listen = listen->is_string()
                            ? listen->get<std::string>()
                            : listen->dump(-1, ' ', false, json::error_handler_t::replace);
    return config;
}

std::string BridgeConfig::encode() const {
    json object = {{"port", port}, {"key", key}};
    if (settings) object["settings"] = *settings;
    if (project) object["project"] = *project;
    if (maxRuns) object["max_runs"] = *maxRuns;
    if (unusableMaxRuns) object["max_runs"] = json::parse(*unusableMaxRuns, nullptr, false);
    if (listen) object["listen"] = *listen;
    // Invalid UTF-8 cannot come from a decoded file or a fresh key; replace rather than throw.
    return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

Result<BridgeConfig> BridgeConfig::loadOrCreate() {
    const fs::path file = path();
    std::optional<std::string> bytes = readFile(file);
    if (bytes) {
        if (auto config = decode(*bytes)) return *config;
        // Keep what the user had (hand edits, the old key) before a fresh file replaces it;
        // when even that fails (a full disk), the fresh file must not replace it either.
        if (!setAside(file, /*move=*/false))
            return Error{file.string() + ": undecodable, and couldn't be kept aside"};
    }

    auto key = randomKey();
    if (!key) return key.error();
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return Error{file.parent_path().string() + ": " + ec.message()};

    BridgeConfig config;
    config.key = key.value();
    config.settings = "direct";
    if (auto written = writeFileAtomically(file, config.encode(), 0600); !written)
        return written.error();
    return config;
}

} // namespace pavix
