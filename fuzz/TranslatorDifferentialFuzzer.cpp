// Feeds the same bytes to the output translator twice, with its fast path for text deltas
// and with the whole-tree parser alone, and fails on any difference in what the run hears:
// a line one reading takes and the other skips, a delta's text, any other event.
#include "TranslatorTranscript.h"

using namespace pavix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Deltas' escaping is run_translator's to check; here it would only slow the search.
    using Reading = OutputTranslator::Reading;
    check(translate(bytes, false, Reading::fastPath, false).heard ==
          translate(bytes, false, Reading::treeOnlyForTests, false).heard);
    return 0;
}
