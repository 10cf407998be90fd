// Fuzz target for UTF-8 checking and conversion. The checker, the decoder and the
// encoder agree: well-formed text converts to code points and back unchanged, and
// code points that encode decode back to themselves. Case mapping always gives
// well-formed text, and a text compares equal to itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lumo/blob.h"
#include "lumo/utf8.h"

namespace {

bool Valid(const std::string& text) {
    CL_Blob blob(text);
    return CL_CheckUTF8(&blob);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    bool valid = Valid(text);
    std::wstring wide = CL_FromUTF8(text);
    if (valid != (text.empty() || !wide.empty())) abort();
    if (valid && CL_ToUTF8(wide) != text) abort();

    if (!Valid(CL_StringToLower(text)) || !Valid(CL_StringToUpper(text))) abort();
    if (valid && text.find('\0') == std::string::npos) {
        if (CL_StringCaseCompare(text, text) != 0) abort();
        if (CL_StringCaseCompare(text, CL_StringToUpper(text)) != 0) abort();
    }

    // The same bytes as code points.
    std::wstring points(size / 4, L'\0');
    memcpy(points.data(), data, points.size() * 4);
    std::string encoded = CL_ToUTF8(points);
    bool encodable = true;
    for (wchar_t c : points) {
        uint32 u = static_cast<uint32>(c);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) encodable = false;
    }
    if (encodable != (points.empty() || !encoded.empty())) abort();
    if (encodable && (!Valid(encoded) || CL_FromUTF8(encoded) != points)) abort();
    return 0;
}
