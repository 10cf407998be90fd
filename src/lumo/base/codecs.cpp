// URL, query-string and quoted-printable codecs and line-break normalisation.
#include "lumo/codecs.h"

#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>

#include "lumo/blob.h"
#include "lumo/regex.h"
#include "lumo/utf8.h"
#include "lumo/base/utf8_internal.h"
#include "lumo/base/xml_errors.h"

namespace {

const char kHexDigit[] = "0123456789ABCDEF";
const char kQueryReserved[] = "$&+,./:;=?@ \"<>#%{}|\\^~[]`";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendEscape(std::string& out, uint8 byte) {
    out += '=';
    out += kHexDigit[byte >> 4];
    out += kHexDigit[byte & 15];
}

bool IsValidUTF8(const std::string& text) {
    return lumo_utf8::IsWellFormed(text.data(), text.size());
}

std::string Latin1ToUTF8(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text)
        lumo_utf8::AppendUTF8(out, c);
    return out;
}

// Converts `bytes` from `charset` to UTF-8 with libxml2's converters; false when the
// charset is unknown or the bytes do not convert completely into valid UTF-8.
bool CharsetToUTF8(const std::string& charset, const std::string& bytes, std::string* out) {
    xmlInitParser();
    // Undecodable bytes are this function's answer, not something to print.
    lumo_xml::XMLErrorScope errors;
    xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(charset.c_str());
    if (!handler) return false;
    bool ok = false;
    xmlBufferPtr in = xmlBufferCreateSize(bytes.size() + 1);
    // Room for the widest expansion, so nothing is cut off.
    xmlBufferPtr converted = xmlBufferCreateSize(bytes.size() * 4 + 16);
    if (in && converted &&
        xmlBufferAdd(in, reinterpret_cast<const xmlChar*>(bytes.data()),
                     static_cast<int>(bytes.size())) == 0) {
        int written = bytes.empty() ? 0 : xmlCharEncInFunc(handler, converted, in);
        if (written >= 0 && xmlBufferLength(in) == 0) {
            out->assign(reinterpret_cast<const char*>(xmlBufferContent(converted)),
                        static_cast<size_t>(xmlBufferLength(converted)));
            ok = IsValidUTF8(*out);
        }
    }
    if (in) xmlBufferFree(in);
    if (converted) xmlBufferFree(converted);
    xmlCharEncCloseFunc(handler);
    return ok;
}

// Line breaks of text that is not valid UTF-8, where the pattern cannot run.
std::string NormaliseBytes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') i++;
            out += '\n';
        } else if (c == '\v' || c == '\f') {
            out += '\n';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string CL_URLEncode(const std::string& url, const char* replace, bool encodeNonAscii) {
    std::string out;
    out.reserve(url.size());
    for (unsigned char c : url) {
        bool escape;
        if (c >= 0x7F)
            escape = encodeNonAscii;
        else
            escape = c < 0x20 || (replace && c != 0 && strchr(replace, c) != nullptr);
        if (escape) {
            out += '%';
            out += kHexDigit[c >> 4];
            out += kHexDigit[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string CL_URLDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= n) break;  // "%" or "%x" at the end is dropped
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        int value = high >= 0 ? high << 4 : 0x25;
        if (low >= 0) value |= low;
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

std::string CL_FormatQueryString(const CL_HashMap<std::string, std::string>& map) {
    CL_Array<std::string> parts;
    for (auto it = map.begin(); it != map.end(); ++it)
        parts.Append(it.key() + "=" + CL_URLEncode(it.value(), kQueryReserved, true));
    return CL_StringJoin(parts, "&");
}

void CL_ParseQueryString(const std::string& query, CL_HashMap<std::string, std::string>* map) {
    if (!map) return;
    map->Clear();
    CL_Array<std::string> parts;
    CL_StringSplit(query, "&", &parts);
    for (const std::string& part : parts) {
        std::string rest = part;
        std::string key = CL_StringTokenize(&rest, "=");
        std::string value = CL_StringTokenize(&rest, "=");
        map->Set(key, CL_URLDecode(value));
    }
}

std::string CL_QuotedPrintableEncode(const std::string& text, bool standard) {
    if (!standard) {
        if (text.size() > 75) return text;
        std::wstring wide = CL_FromUTF8(text);
        bool latin1 = true;
        for (wchar_t c : wide) {
            if (static_cast<uint32>(c) > 0xFF) {
                latin1 = false;
                break;
            }
        }
        if (latin1) {
            std::string out;
            out.reserve(wide.size());
            for (wchar_t c : wide)
                out += static_cast<char>(static_cast<uint8>(c));
            return out;
        }
        std::string encoded;
        for (unsigned char c : text) {
            if (c == ' ')
                encoded += '_';
            else if (c < '!' || c > '~' || c == '=' || c == '?' || c == '_')
                AppendEscape(encoded, c);
            else
                encoded += static_cast<char>(c);
        }
        return "=?UTF-8?Q?" + encoded + "?=";
    }

    std::string out;
    out.reserve(text.size() + text.size() / 8);
    size_t column = 0;
    const size_t n = text.size();
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\r\n";
            column = 0;
            continue;
        }
        bool escape = ((c < '!' || c > '~') && c != ' ' && c != '\t') || c == '=';
        size_t width = escape ? 3 : 1;
        bool last = i + 1 == n;
        bool trailingBlank = last && (c == ' ' || c == '\t');
        // Lines stay within 76 characters, the soft break's "=" included; a soft
        // break always comes before an escape, never inside it.
        size_t limit = last ? (trailingBlank ? 74 : 76) : 75;
        if (column + width > limit) {
            out += "=\r\n";
            column = 0;
        }
        if (escape)
            AppendEscape(out, c);
        else
            out += static_cast<char>(c);
        column += width;
    }
    if (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) out += '=';
    return out;
}

std::string CL_QuotedPrintableDecode(const std::string& text) {
    static CL_RegEx sEncodedWord("^=\\?([^\\?]+)\\?([A-Za-z])\\?([^\\?]*)\\?=$");
    if (text.empty() || text.size() > 75) return Latin1ToUTF8(text);
    CL_Match match;
    if (sEncodedWord.Find(text, &match) != CL_OK || match.Count() < 4) return Latin1ToUTF8(text);
    std::string charset = match.GetText(1);
    char coding = match.GetText(2)[0];
    std::string encoded = match.GetText(3);

    std::string bytes;
    if (coding == 'B' || coding == 'b') {
        CL_Blob blob;
        if (!blob.Decode(encoded, CL_BLOB_CODING_BASE_64)) return Latin1ToUTF8(text);
        bytes = blob.Raw();
    } else if (coding == 'Q' || coding == 'q') {
        for (size_t i = 0; i < encoded.size(); i++) {
            char c = encoded[i];
            if (c == '_') {
                bytes += ' ';
            } else if (c == '=') {
                if (i + 2 >= encoded.size()) return Latin1ToUTF8(text);
                int high = HexValue(encoded[i + 1]);
                int low = HexValue(encoded[i + 2]);
                if (high < 0 || low < 0) return Latin1ToUTF8(text);
                bytes += static_cast<char>(high << 4 | low);
                i += 2;
            } else {
                bytes += c;
            }
        }
    } else {
        return Latin1ToUTF8(text);
    }
    // Both codings name the charset of the decoded bytes.
    std::string converted;
    if (!CharsetToUTF8(charset, bytes, &converted)) return Latin1ToUTF8(text);
    // A B-encoded word ends at its first NUL character; cutting the bytes before the
    // conversion would end a UTF-16 word at its first ASCII letter.
    if (coding == 'B' || coding == 'b') {
        size_t nul = converted.find('\0');
        if (nul != std::string::npos) converted.resize(nul);
    }
    return converted;
}

std::string CL_GetNativeText(const std::string& text) {
    static CL_RegEx sLineBreak("\\R");
    if (!IsValidUTF8(text)) return NormaliseBytes(text);
    return sLineBreak.Replace(text, "\n", 0);
}

std::string CL_GetUnixText(const std::string& text) {
    return CL_GetNativeText(text);
}
