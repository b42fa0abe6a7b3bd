// Feeds arbitrary bytes to the configuration decoder and checks that a configuration it
// accepts is written back as a file that decodes to the same values, the key and the
// optional settings and project included.
#include "config/BridgeConfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace pavix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto config = BridgeConfig::decode(std::string(reinterpret_cast<const char*>(data), size));
    if (!config) return 0;
    std::string written = config->encode();
    auto again = BridgeConfig::decode(written);
    if (!again || *again != *config || again->encode() != written) std::abort();
    return 0;
}
