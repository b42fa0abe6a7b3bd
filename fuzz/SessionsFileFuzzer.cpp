// Feeds arbitrary bytes to the sessions-file decoder and checks that sessions it accepts
// are saved as a file that decodes to the same sessions, so a save never turns a good
// file into one the next start would set aside.
#include "bridge/Session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace pavix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto sessions = decodeSessions(std::string(reinterpret_cast<const char*>(data), size));
    if (!sessions) return 0;
    std::string saved = encodeSessions(*sessions);
    auto again = decodeSessions(saved);
    if (!again || *again != *sessions || encodeSessions(*again) != saved) std::abort();
    return 0;
}
