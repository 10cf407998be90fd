// Fuzz target for reading flattened tables and lists. Whatever reads successfully
// must flatten and read back to an equal value, in both format versions.
#include <cstdint>
#include <cstdlib>

#include "lumo/entry.h"

namespace {

template <class T>
void RoundTrip(const uint8_t* data, size_t size) {
    CL_Blob input(data, static_cast<uint32>(size), true);
    input.Rewind();
    T value;
    if (!value.Unflatten(input)) return;
    if (input.Tell() > input.GetSize()) abort();

    CL_Blob once;
    value.Flatten(once);
    once.Rewind();
    T back;
    if (!back.Unflatten(once) || once.Tell() != once.GetSize()) abort();
    // NaN floats never equal themselves, so compare the bytes of a second pass.
    CL_Blob twice;
    back.Flatten(twice);
    if (twice.GetSize() != once.GetSize() || twice.Raw() != once.Raw()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 20)) return 0;
    // The first byte picks the container and the version used for writing.
    uint8_t mode = data[0];
    CLU_Entry::SetFlattenedVersion((mode & 2) ? 1 : 2);
    if (mode & 1)
        RoundTrip<CLU_List>(data + 1, size - 1);
    else
        RoundTrip<CLU_Table>(data + 1, size - 1);
    return 0;
}
