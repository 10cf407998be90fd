// JSON text to a value and back: any input either fails cleanly or gives a value
// whose JSON text parses again to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qpx/zelmo_client/common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    CLU_Entry root;
    std::string error;
    if (!QPX::ParseJSON(text, &root, &error)) return 0;
    std::string compact = QPX::FormatJSON(root, false);
    QPX::FormatJSON(root, true);
    CLU_Entry again;
    if (!QPX::ParseJSON(compact, &again, &error)) abort();
    if (QPX::FormatJSON(again, false) != compact) abort();
    return 0;
}
