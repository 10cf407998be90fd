// Fuzz target for the text codecs: percent-encoding, query strings, quoted-printable
// bodies and mail-header encoded words, and line-break normalisation. Each encoder's
// output decodes back to its input; the decoders take any bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/blob.h"
#include "lumo/codecs.h"
#include "lumo/init.h"
#include "lumo/utf8.h"

namespace {

bool Valid(const std::string& text) {
    CL_Blob blob(text);
    return CL_CheckUTF8(&blob);
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Plain decoding of a quoted-printable body: soft breaks vanish, "=XX" is a byte and
// CR LF a line feed. False on anything the encoder never writes.
bool DecodeBody(const std::string& body, std::string* out) {
    size_t column = 0;
    for (size_t i = 0; i < body.size(); i++) {
        char c = body[i];
        if (c == '\r') {
            if (i + 1 >= body.size() || body[i + 1] != '\n') return false;
            *out += '\n';
            i++;
            column = 0;
            continue;
        }
        if (++column > 76) return false;
        if (c == '=') {
            if (i + 1 == body.size()) return true;  // protects a trailing blank
            if (body.compare(i + 1, 2, "\r\n") == 0) {
                i += 2;
                column = 0;
                continue;
            }
            if (i + 2 >= body.size() || Hex(body[i + 1]) < 0 || Hex(body[i + 2]) < 0) return false;
            *out += static_cast<char>(Hex(body[i + 1]) << 4 | Hex(body[i + 2]));
            i += 2;
            column += 2;
            if (column > 76) return false;
            continue;
        }
        if ((c < ' ' || c > '~') && c != '\t') return false;
        *out += c;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // Percent-encoding with "%" among the replaced bytes is undone exactly.
    if (CL_URLDecode(CL_URLEncode(text, "%+ &=?#", true)) != text) abort();
    (void)CL_URLDecode(text);
    (void)CL_URLEncode(text, nullptr, false);

    // Query strings: keys without "&" and "=", any values.
    CL_HashMap<std::string, std::string> map, back;
    std::string rest = text;
    for (int i = 0; i < 8 && !rest.empty(); i++) {
        std::string key = "k" + std::to_string(i);
        size_t cut = rest.find('\n');
        map.Set(key, rest.substr(0, cut));
        rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
    }
    if (map.Count() > 0) {
        CL_ParseQueryString(CL_FormatQueryString(map), &back);
        if (back.Count() != map.Count()) abort();
        for (auto it = map.begin(); it != map.end(); ++it)
            if (back.Get(it.key()) != it.value()) abort();
    }
    CL_ParseQueryString(text, &back);

    // Quoted-printable bodies.
    std::string body = CL_QuotedPrintableEncode(text, true), decoded;
    if (!DecodeBody(body, &decoded) || decoded != text) abort();

    // Header words: what the encoder makes of well-formed text (Latin-1 bytes or an
    // encoded word) decodes to it again, unless the word grew past what a header word
    // may hold or the text already looked like an encoded word.
    std::string word = CL_QuotedPrintableEncode(text, false);
    std::string unword = CL_QuotedPrintableDecode(word);
    if (Valid(text) && text.size() <= 75 && word.size() <= 75 && text.compare(0, 2, "=?") != 0 &&
        text.find('\0') == std::string::npos && unword != text)
        abort();
    if (!Valid(CL_QuotedPrintableDecode(text))) abort();

    std::string lines = CL_GetNativeText(text);
    if (lines.find('\r') != std::string::npos && Valid(text)) abort();
    return 0;
}
