// Fuzz target for loading untrusted XML into a table, as the Python module's
// load_xml does, in both layouts and with every load option. Whatever loads saves to
// a document that loads back to the same values: floats as far as "%g" keeps them,
// every other type exactly; from then on save and load are a fixed point.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lumo/entry.h"
#include "lumo/xml.h"

namespace {

std::string G(double value) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%g", value);
    return buffer;
}

bool SameTable(const CLU_Table& a, const CLU_Table& b, bool exact);

// Equal values of the same type. NaN equals NaN here: the value came through whole.
bool SameEntry(const CLU_Entry& a, const CLU_Entry& b, bool exact) {
    if (a.GetType() != b.GetType()) return false;
    switch (a.GetType()) {
        case CLU_FLOAT:
            if (std::isnan(a.fFloat) || std::isnan(b.fFloat))
                return std::isnan(a.fFloat) && std::isnan(b.fFloat);
            return exact ? a.fFloat == b.fFloat : G(a.fFloat) == G(b.fFloat);
        case CLU_DECIMAL: {
            bool aNaN = a.fDecimal.Compare(a.fDecimal) != 0;
            bool bNaN = b.fDecimal.Compare(b.fDecimal) != 0;
            if (aNaN || bNaN) return aNaN && bNaN;
            return a.fDecimal.Compare(b.fDecimal) == 0;
        }
        case CLU_LIST: {
            if (a.fList.Count() != b.fList.Count()) return false;
            auto x = a.fList.begin();
            for (auto y = b.fList.begin(); y != b.fList.end(); ++x, ++y)
                if (!SameEntry(*x, *y, exact)) return false;
            return true;
        }
        case CLU_TABLE:
            return SameTable(a.fTable, b.fTable, exact);
        default:
            return a == b;
    }
}

bool SameTable(const CLU_Table& a, const CLU_Table& b, bool exact) {
    if (a.Count() != b.Count()) return false;
    auto x = a.begin();
    for (auto y = b.begin(); y != b.end(); ++x, ++y)
        if (x.key() != y.key() || !SameEntry(*x, *y, exact)) return false;
    return true;
}

// Saves `table` and loads the text back into `back`; false when the text does not
// load as XML (texts may hold characters XML 1.0 cannot carry).
bool SaveAndLoad(const CLU_Table& table, CLU_Table* back) {
    CL_XML_Document out;
    out.SetRoot(table.SaveXML(&out, CLU_XML_STANDARD));
    CL_Blob saved;
    out.Save(saved);
    CL_XML_Document again;
    if (!again.Load(saved, 0)) return false;
    CL_XML_Node root = again.GetRoot();
    if (!back->LoadXML(&again, root, CLU_XML_STANDARD)) __builtin_trap();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8 mode = data[0];
    CL_Blob blob(data + 1, static_cast<uint32>(size - 1));
    CL_XML_Document doc;
    if (!doc.Load(blob, mode & 31u)) {
        (void)doc.GetError();
        return 0;
    }
    CL_XML_Node root = doc.GetRoot();
    CLU_Table table;
    CLU_XML_Variant variant = (mode & 32) ? CLU_XML_EXPLICIT : CLU_XML_STANDARD;
    table.LoadXML(&doc, root, variant);
    (void)table.Dump(0);

    CLU_Table back, third;
    if (!SaveAndLoad(table, &back)) return 0;
    if (!SameTable(table, back, false)) __builtin_trap();
    if (!SaveAndLoad(back, &third) || !SameTable(back, third, true)) __builtin_trap();
    return 0;
}
