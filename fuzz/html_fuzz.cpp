// Fuzz target for turning HTML into plain text: any bytes go in, and well-formed
// UTF-8 comes out of well-formed UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/blob.h"
#include "lumo/codecs.h"
#include "lumo/utf8.h"

namespace {

bool Valid(const std::string& text) {
    CL_Blob blob(text);
    return CL_CheckUTF8(&blob);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string html(reinterpret_cast<const char*>(data), size);
    std::string text = CL_StripHTML(html);
    if (Valid(html) && !Valid(text)) abort();
    return 0;
}
