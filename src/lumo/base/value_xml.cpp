// Dynamic values, lists and tables to and from XML documents.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

#include "lumo/base/decnum/decnum.h"
#include "lumo/entry.h"
#include "lumo/utf8.h"
#include "lumo/xml.h"

namespace {

// The C locale, so that numbers read back the same in every process whatever
// locale the program chose ("1.5", never "1,5").
locale_t CLocale() {
    static locale_t sLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return sLocale;
}

std::string FormatFloat(double value) {
    char buffer[64];
    locale_t c = CLocale();
    locale_t previous = c ? uselocale(c) : static_cast<locale_t>(0);
    snprintf(buffer, sizeof(buffer), "%g", value);
    if (c) uselocale(previous);
    return buffer;
}

bool ParseFloat(const std::string& text, double* value) {
    if (text.empty()) return false;
    locale_t c = CLocale();
    char* end = nullptr;
    double v = c ? strtod_l(text.c_str(), &end, c) : strtod(text.c_str(), &end);
    if (!end || end == text.c_str() || *end != '\0' ||
        static_cast<size_t>(end - text.c_str()) != text.size())
        return false;
    *value = v;
    return true;
}

// The whole text as a 64-bit integer; out-of-range text is not a number rather than
// the nearest limit.
bool ParseInteger(const std::string& text, long long* value) {
    long long v = 0;
    if (!CL_StringToNumber(text, &v)) return false;
    errno = 0;
    strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *value = v;
    return true;
}

// Every digit of the decimal, as long as the decimal text rules read that back (at most
// 38 significant digits and 1024 bytes); otherwise, for large or far-reaching exponents,
// the scientific form, which they always read back exactly.
std::string DecimalText(const CL_Decimal& value) {
    std::string plain = value.ToString(-1, false);
    CL_Decimal back;
    if (!plain.empty() && back.FromString(plain)) return plain;
    char buffer[decnum::kSciBufferSize];
    size_t length = decnum::ToSci(value.GetNumber(), buffer);
    return std::string(buffer, length);
}

// A decimal under the text rules; failing those, the long digit strings that only
// trailing zeros make longer than 38 digits, as earlier writers saved large values.
bool ParseDecimal(const std::string& text, CL_Decimal* value) {
    bool invalid = false, overflow = false;
    value->FromString(text, &invalid, &overflow);
    if (!invalid) return true;
    if (!overflow || text.size() > CL_Decimal::kMaxTextLength) return false;
    uint32 status = 0;
    decnum::Number parsed, reduced;
    decnum::FromString(&parsed, text.data(), text.size(), CL_Decimal::GetContext(), &status);
    if (status & ~static_cast<uint32>(decnum::kRounded)) return false;
    decnum::Reduce(&reduced, parsed, CL_Decimal::GetContext(), &status);
    *value = CL_Decimal(reduced);
    return true;
}

CL_XML_Node Element(CL_XML_Document* doc, const char* name, const std::string& text) {
    CL_XML_Node node = doc->CreateNode(CL_XML_Node::ELEMENT, name);
    if (!text.empty()) node.AddChild(doc->CreateNode(CL_XML_Node::TEXT, text));
    return node;
}

// Leaves `node` on the first element from it on; false when there is none.
bool SkipToElement(CL_XML_Node& node) {
    while (!node.IsNull() && node.GetType() != CL_XML_Node::ELEMENT)
        node = node.GetNext();
    return !node.IsNull();
}

std::string TextOf(const CL_XML_Node& node) {
    return CL_StringStripped(node.GetNodeContent());
}

bool IsTrue(const std::string& text) {
    static const char* const kTrue[] = {"y", "yes", "t", "true", "on", "1"};
    for (const char* word : kTrue)
        if (CL_StringCaseCompare(text, word) == 0) return true;
    return false;
}

}  // namespace

CL_XML_Node CLU_Entry::SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const {
    const CLU_Entry& value = *this;
    if (!doc) return CL_XML_Node();
    switch (value.GetType()) {
        case CLU_BOOL:
            return Element(doc, "bool", value.fBool ? "true" : "false");
        case CLU_INTEGER:
            return Element(doc, "integer", std::to_string(static_cast<long long>(value.fInteger)));
        case CLU_DECIMAL:
            return Element(doc, "decimal", DecimalText(value.fDecimal));
        case CLU_FLOAT:
            return Element(doc, "float", FormatFloat(value.fFloat));
        case CLU_DATE:
            return Element(doc, "date", value.fDate.ToString(CL_DATE_ISO_FORMAT));
        case CLU_TIME:
            return Element(doc, "time", value.fTime.ToString());
        case CLU_TIMESTAMP:
            return Element(doc, "timestamp", value.fTimeStamp.ToString(CL_TIMESTAMP_ISO_FORMAT));
        case CLU_TEXT:
            return Element(doc, "text", value.fString);
        case CLU_BLOB:
            return Element(doc, "blob", value.fBlob.Encode(CL_BLOB_CODING_BASE_16));
        case CLU_LIST:
            return value.fList.SaveXML(doc, variant);
        case CLU_TABLE:
            return value.fTable.SaveXML(doc, variant);
        default:
            return Element(doc, "null", std::string());
    }
}

CL_XML_Node CLU_List::SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const {
    if (!doc) return CL_XML_Node();
    CL_XML_Node node = doc->CreateNode(CL_XML_Node::ELEMENT, "list");
    for (auto it = begin(); it != end(); ++it)
        node.AddChild(it->SaveXML(doc, variant));
    return node;
}

CL_XML_Node CLU_Table::SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const {
    if (!doc) return CL_XML_Node();
    CL_XML_Node node = doc->CreateNode(CL_XML_Node::ELEMENT, "table");
    for (auto it = begin(); it != end(); ++it) {
        CL_XML_Node child = it->SaveXML(doc, variant);
        child.AddAttribute("name", it.key());
        node.AddChild(child);
    }
    return node;
}

bool CLU_Entry::LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant) {
    CLU_Entry* value = this;
    value->Set(CLU_Null);
    for (;;) {
        if (!SkipToElement(node)) return false;
        const std::string name = CL_StringToLower(node.GetName());
        if (name == "null") return true;
        if (name == "bool") {
            value->Set(IsTrue(TextOf(node)));
            return true;
        }
        if (name == "integer") {
            long long number = 0;
            if (!ParseInteger(TextOf(node), &number)) return false;
            value->Set(number);
            return true;
        }
        if (name == "decimal") {
            CL_Decimal number;
            bool ok = ParseDecimal(TextOf(node), &number);
            value->Set(number);
            return ok;
        }
        if (name == "float") {
            double number = 0;
            if (!ParseFloat(TextOf(node), &number)) return false;
            value->Set(number);
            return true;
        }
        if (name == "time") {
            value->Set(CL_Time(TextOf(node)));
            return true;
        }
        if (name == "date") {
            value->Set(CL_Date(TextOf(node)));
            return true;
        }
        if (name == "timestamp") {
            value->Set(CL_TimeStamp(TextOf(node), CL_TIMESTAMP_ISO_FORMAT));
            return true;
        }
        if (name == "text" || name == "string") {
            value->Set(TextOf(node));
            return true;
        }
        if (name == "blob") {
            CL_Blob blob;
            bool ok = blob.Decode(TextOf(node), CL_BLOB_CODING_BASE_16);
            value->Set(blob);
            return ok;
        }
        if (name == "list") {
            CLU_List list;
            CL_XML_Node at = node;
            bool ok = list.LoadXML(doc, at, variant);
            value->Set(list);
            return ok;
        }
        if (name == "table" || name == "dict") {
            CLU_Table table;
            CL_XML_Node at = node;
            bool ok = table.LoadXML(doc, at, variant);
            value->Set(table);
            return ok;
        }
        // Plain XML: an element with text reads as a text, one with elements as a
        // table, and an empty one is passed over.
        CL_XML_Node first = node.GetChildren();
        if (first.IsNull()) {
            node = node.GetNext();
            continue;
        }
        if (first.GetType() == CL_XML_Node::TEXT) {
            value->Set(TextOf(node));
            return true;
        }
        CLU_Table table;
        CL_XML_Node at = node;
        bool ok = table.LoadXML(doc, at, variant);
        value->Set(table);
        return ok;
    }
}

bool CLU_Table::LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant) {
    Clear();
    if (!SkipToElement(node)) return false;
    CL_XML_Node child = node.GetChildren();
    if (child.IsNull()) return true;

    if (variant == CLU_XML_STANDARD) {
        for (;;) {
            CLU_Entry entry;
            entry.LoadXML(doc, child, CLU_XML_STANDARD);
            // Only comments, blanks or empty unknown elements were left: the table
            // ends with what was loaded, as it does when nested.
            if (child.IsNull()) return true;
            std::string key;
            if (!child.GetAttribute("name", &key)) key = child.GetName();
            Set(key, entry);
            child = child.GetNext();
            if (child.IsNull()) return true;
        }
    }
    if (variant == CLU_XML_EXPLICIT) {
        for (;;) {
            if (!SkipToElement(child)) return true;
            std::string key;
            if (child.GetAttribute("name", &key)) {
                CL_XML_Node at = child.GetChildren();
                if (at.IsNull()) return false;
                CLU_Entry entry;
                entry.LoadXML(doc, at, CLU_XML_EXPLICIT);
                if (at.IsNull()) return false;
                Set(key, entry);
            }
            child = child.GetNext();
            if (child.IsNull()) return true;
        }
    }
    return true;
}

bool CLU_List::LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant) {
    Clear();
    if (variant > CLU_XML_EXPLICIT) return true;
    if (!SkipToElement(node)) return true;
    CL_XML_Node child = node.GetChildren();
    while (!child.IsNull()) {
        CLU_Entry entry;
        entry.LoadXML(doc, child, CLU_XML_STANDARD);
        // A trailing comment or empty unknown element ends the list, not the load.
        if (child.IsNull()) return true;
        Append(entry);
        child = child.GetNext();
    }
    return true;
}
