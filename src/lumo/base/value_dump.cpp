// Indented text dumps of dynamic values, lists and tables for diagnostics.
#include <clocale>
#include <cstdio>
#include <locale.h>

#include "lumo/entry.h"
#include "lumo/xml.h"

namespace {

// Numbers in the C locale, as in the XML form.
std::string FormatFixed(double value) {
    static locale_t sLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    locale_t previous = sLocale ? uselocale(sLocale) : static_cast<locale_t>(0);
    // "%f" of a double needs at most 309 integer digits, a point and 6 decimals.
    char buffer[400];
    snprintf(buffer, sizeof(buffer), "%f [f]", value);
    if (sLocale) uselocale(previous);
    return buffer;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

bool IsContainer(const CLU_Entry& item) {
    return item.GetType() == CLU_LIST || item.GetType() == CLU_TABLE;
}

void AppendItem(std::string& out, const CLU_Entry& item, uint32 indent) {
    if (IsContainer(item)) {
        out += '\n';
        out += item.Dump(indent);
    } else {
        out += item.Dump(indent);
        out += '\n';
    }
}

}  // namespace

std::string CLU_Entry::Dump(uint32 indent) const {
    const CLU_Entry& value = *this;
    switch (value.GetType()) {
        case CLU_BOOL:
            return value.fBool ? "true" : "false";
        case CLU_INTEGER:
            return std::to_string(static_cast<long long>(value.fInteger)) + " [i]";
        case CLU_DECIMAL:
            return value.fDecimal.ToString(-1, false) + " [d]";
        case CLU_FLOAT:
            return FormatFixed(value.fFloat);
        case CLU_DATE:
            return value.fDate.ToString(CL_DATE_ISO_FORMAT) + " [D]";
        case CLU_TIME:
            return value.fTime.ToString() + " [t]";
        case CLU_TIMESTAMP:
            return value.fTimeStamp.ToString(CL_TIMESTAMP_ISO_FORMAT) + " [T]";
        case CLU_TEXT:
            return Quoted(value.fString);
        case CLU_BLOB:
            return value.fBlob.Dump(0, true);
        case CLU_LIST:
            return value.fList.Dump(indent + 1);
        case CLU_TABLE:
            return value.fTable.Dump(indent + 1);
        default:
            return "(null)";
    }
}

std::string CLU_List::Dump(uint32 indent) const {
    std::string out;
    int index = 0;
    for (auto it = begin(); it != end(); ++it, ++index) {
        out.append(indent, '\t');
        out += std::to_string(index) + " -> ";
        AppendItem(out, *it, indent);
    }
    return out;
}

std::string CLU_Table::Dump(uint32 indent) const {
    std::string out;
    for (auto it = begin(); it != end(); ++it) {
        out.append(indent, '\t');
        out += it.key() + ": ";
        AppendItem(out, *it, indent);
    }
    return out;
}
