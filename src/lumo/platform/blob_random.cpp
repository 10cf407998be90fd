// Random bytes into a blob; kept apart so that blobs do not pull in the clock unit.
#include "lumo/blob.h"
#include "lumo/clock.h"

CL_Status CL_GetRandomBytes(CL_Blob& blob, uint32 count) {
    uint32 pos = blob.Tell();
    uint64 end = uint64(pos) + count;
    if (end > CL_Blob::kMaxSize) return CL_ERROR;
    blob.SetSize(static_cast<uint32>(end));
    if (blob.GetSize() != end) return CL_ERROR;
    if (count == 0) return CL_OK;
    return CL_GetRandomBytes(blob.GetDataForWrite() + pos, count);
}
