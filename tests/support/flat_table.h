// Tables as the wire carries them: flattened into a blob read from its start, and back.
#pragma once

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
