// Values as the wire carries them: tables flattened into a blob read from its start,
// and back; the bytes of a blob or of any value flattened.
#pragma once

#include <vector>

#include "lumo/blob.h"
#include "lumo/table.h"

// `table` flattened, the blob positioned at its start.
inline CL_Blob Flat(const CLU_Table& table) {
    CL_Blob blob;
    table.Flatten(blob);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

// The table flattened in `blob`, read from its start.
inline CLU_Table Unflat(CL_Blob blob) {
    CLU_Table table;
    blob.Seek(0, CL_SEEK_SET);
    table.Unflatten(blob);
    return table;
}

// The bytes a blob holds.
inline std::vector<uint8> Bytes(const CL_Blob& blob) {
    const uint8* p = blob.GetDataForRead();
    return std::vector<uint8>(p, p + blob.GetSize());
}

// The bytes of `value` (a table, list or entry) flattened.
template <class T>
std::vector<uint8> FlatBytes(const T& value) {
    CL_Blob blob;
    value.Flatten(blob);
    return Bytes(blob);
}

// A table of `levels` levels, itself the first: "keep" holds a text and "deep" the next
// table down, the last one holding "leaf".
inline CLU_Table NestedTables(int levels) {
    CLU_Table table;
    table.Set("leaf", 1);
    for (int level = 1; level < levels; level++) {
        CLU_Table outer;
        outer.Set("keep", "me");
        outer.Set("deep", table);
        table = std::move(outer);
    }
    return table;
}
