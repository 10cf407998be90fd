// Fuzz target for loading untrusted XML into a table, as the Python module's
// load_xml does, in both layouts and with every load option; whatever loads must
// save and load back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "lumo/entry.h"
#include "lumo/xml.h"

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

    // A loaded table saves to a document that loads back.
    CL_XML_Document out;
    out.SetRoot(table.SaveXML(&out, CLU_XML_STANDARD));
    CL_Blob saved;
    out.Save(saved);
    CL_XML_Document again;
    if (!again.Load(saved, 0)) {
        // Texts may hold characters XML 1.0 cannot carry; nothing else may fail.
        return 0;
    }
    CL_XML_Node againRoot = again.GetRoot();
    CLU_Table back;
    if (!back.LoadXML(&again, againRoot, CLU_XML_STANDARD)) __builtin_trap();
    if (back.Count() != table.Count()) __builtin_trap();
    return 0;
}
