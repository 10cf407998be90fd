// Text codecs: percent-encoding of URLs and query strings, quoted-printable bodies
// and RFC 2047 encoded words, a plain-text rendering of HTML, and line-break
// normalisation. Malformed input is decoded by fixed rules; nothing reports errors.
#pragma once

#include <string>

#include "lumo/containers.h"
#include "lumo/base_types.h"

// Functions of plain data: any thread.
// Percent-encodes control bytes, bytes found in `replace` and, when `encodeNonAscii`,
// bytes from 0x7F up, with upper-case hex digits.
std::string CL_URLEncode(const std::string& url, const char* replace, bool encodeNonAscii);
// Undoes percent-encoding; "+" stays "+", a "%" cut off by the end is dropped.
std::string CL_URLDecode(const std::string& text);

// "key=value" parts joined by "&" in the map's order; values are percent-encoded.
std::string CL_FormatQueryString(const CL_HashMap<std::string, std::string>& map);
// Empties `map`, then sets each "key=value" part; a later key replaces an earlier one.
void CL_ParseQueryString(const std::string& query, CL_HashMap<std::string, std::string>* map);

// `standard`: quoted-printable body coding with CR LF line ends and soft breaks.
// Otherwise a mail-header word: Latin-1 text as it is, other text as a Q-encoded
// UTF-8 encoded word; texts over 75 bytes are returned unchanged.
std::string CL_QuotedPrintableEncode(const std::string& text, bool standard);
// Decodes one encoded word ("=?charset?Q|B?text?=") to UTF-8; anything else, or a
// word that cannot be decoded, is read byte by byte as ISO 8859-1.
std::string CL_QuotedPrintableDecode(const std::string& text);

// The text of an HTML document's body, a line feed after paragraphs, headings and
// line breaks, without script and style content; empty when tidy cannot read it.
std::string CL_StripHTML(const std::string& html);

// Every line-break sequence (CR LF, CR, LF, VT, FF, NEL, LS, PS) made a line feed.
std::string CL_GetNativeText(const std::string& text);
std::string CL_GetUnixText(const std::string& text);
