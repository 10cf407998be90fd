// HTML to plain text through tidy-html5: the body's text nodes, line feeds after
// block-ending tags, then the Latin-1 named entities decoded in one pass.
#include <tidy/tidy.h>
#include <tidy/tidybuffio.h>

#include <cstring>
#include <string>
#include <vector>

#include "lumo/codecs.h"
#include "lumo/base/utf8_internal.h"

namespace {

// Named entities that tidy may leave in printed text: the XML four, then
// ISO 8859-1 from U+00A0 (nbsp) to U+00FF (yuml) in code order.
const char* const kLatin1Entities[] = {
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",
    "copy",   "ordf",   "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn",
    "sup2",   "sup3",   "acute",  "micro",  "para",   "middot", "cedil",  "sup1",   "ordm",
    "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave", "Aacute", "Acirc",  "Atilde",
    "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",   "Igrave",
    "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde",
    "Ouml",   "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",
    "szlig",  "agrave", "aacute", "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil",
    "egrave", "eacute", "ecirc",  "euml",   "igrave", "iacute", "icirc",  "iuml",   "eth",
    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide", "oslash", "ugrave",
    "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml",
};
static_assert(sizeof(kLatin1Entities) / sizeof(kLatin1Entities[0]) == 96, "U+00A0..U+00FF");

// The character a named entity stands for, or 0 when it is not in the table.
uint32 EntityCode(const std::string& name) {
    if (name == "quot") return 0x22;
    if (name == "amp") return 0x26;
    if (name == "lt") return 0x3C;
    if (name == "gt") return 0x3E;
    for (uint32 i = 0; i < 96; i++)
        if (name == kLatin1Entities[i]) return 0xA0 + i;
    return 0;
}

// One left-to-right pass, so the text an entity produces is never decoded again:
// "&amp;lt;" gives "&lt;".
std::string DecodeEntities(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const size_t n = text.size();
    for (size_t i = 0; i < n; i++) {
        if (text[i] == '&') {
            // The longest name has six letters: look no further, so a text of many
            // '&' without ';' costs one pass.
            size_t end = i + 1;
            while (end < n && end - i <= 8 && text[end] != ';')
                end++;
            if (end < n && text[end] == ';' && end - i <= 8) {
                uint32 code = EntityCode(text.substr(i + 1, end - i - 1));
                if (code) {
                    lumo_utf8::AppendUTF8(out, code);
                    i = end;
                    continue;
                }
            }
        }
        out += text[i];
    }
    return out;
}

bool EndsLine(TidyTagId id) {
    switch (id) {
        case TidyTag_BR:
        case TidyTag_H1:
        case TidyTag_H2:
        case TidyTag_H3:
        case TidyTag_H4:
        case TidyTag_H5:
        case TidyTag_H6:
        case TidyTag_P:
            return true;
        default:
            return false;
    }
}

// Depth-first walk with an explicit stack, so deeply nested markup cannot exhaust
// the thread's stack.
void CollectText(TidyDoc doc, TidyNode body, std::string& out) {
    struct Step {
        TidyNode node;
        bool closing;
    };
    std::vector<Step> stack;
    stack.push_back({body, false});
    TidyBuffer buffer;
    tidyBufInit(&buffer);
    while (!stack.empty()) {
        Step step = stack.back();
        stack.pop_back();
        TidyNodeType type = tidyNodeGetType(step.node);
        if (step.closing) {
            if ((type == TidyNode_Start || type == TidyNode_StartEnd) &&
                EndsLine(tidyNodeGetId(step.node)))
                out += '\n';
            continue;
        }
        if (type == TidyNode_Text && tidyNodeHasText(doc, step.node)) {
            TidyNode parent = tidyGetParent(step.node);
            TidyTagId pid = parent ? tidyNodeGetId(parent) : TidyTag_UNKNOWN;
            if (parent && tidyNodeGetType(parent) == TidyNode_Start && pid != TidyTag_SCRIPT &&
                pid != TidyTag_STYLE) {
                tidyBufClear(&buffer);
                if (tidyNodeGetText(doc, step.node, &buffer) && buffer.bp) {
                    std::string text(reinterpret_cast<const char*>(buffer.bp), buffer.size);
                    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                        text.pop_back();
                    out += text;
                }
            }
        }
        stack.push_back({step.node, true});
        std::vector<TidyNode> children;
        for (TidyNode child = tidyGetChild(step.node); child; child = tidyGetNext(child))
            children.push_back(child);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back({*it, false});
    }
    tidyBufFree(&buffer);
}

}  // namespace

std::string CL_StripHTML(const std::string& html) {
    TidyDoc doc = tidyCreate();
    if (!doc) return std::string();
    TidyBuffer errors;
    tidyBufInit(&errors);
    std::string text;
    bool ok = tidyOptSetBool(doc, TidyForceOutput, yes) && tidyOptSetInt(doc, TidyWrapLen, 0) &&
              tidySetCharEncoding(doc, "utf8") >= 0 && tidySetErrorBuffer(doc, &errors) >= 0;
    // tidy reads a NUL-terminated text: bytes after an embedded NUL are not seen.
    ok = ok && tidyParseString(doc, html.c_str()) >= 0;
    ok = ok && tidyCleanAndRepair(doc) >= 0;
    ok = ok && tidyRunDiagnostics(doc) >= 0;
    if (ok) {
        TidyNode body = tidyGetBody(doc);
        if (body) CollectText(doc, body, text);
    }
    tidyBufFree(&errors);
    tidyRelease(doc);
    return ok ? DecodeEntities(text) : std::string();
}
