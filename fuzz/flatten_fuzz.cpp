// Fuzz target for reading flattened tables and lists. Whatever reads successfully
// must flatten and read back to an equal value, in both format versions.
#include <cstdint>
#include <cstdlib>

#include "lumo/entry.h"

namespace {

// Flattens `value` and reads the bytes back into `back`; aborts when our own output
// does not read cleanly to its end.
template <class T>
CL_Blob Pass(const T& value, T& back) {
    CL_Blob flat;
    value.Flatten(flat);
    flat.Rewind();
    if (!back.Unflatten(flat) || flat.Tell() != flat.GetSize()) abort();
    return flat;
}

template <class T>
void RoundTrip(const uint8_t* data, size_t size) {
    CL_Blob input(data, static_cast<uint32>(size), true);
    input.Rewind();
    T value;
    if (!value.Unflatten(input)) return;
    if (input.Tell() > input.GetSize()) abort();

    // The first pass may normalise (a decimal too long for the engine to print reads
    // back as 0); from then on the bytes must be a fixed point. Bytes rather than
    // values are compared because NaN never equals itself.
    T once, twice;
    CL_Blob first = Pass(value, once);
    CL_Blob second = Pass(once, twice);
    CL_Blob third;
    twice.Flatten(third);
    if (second.Raw() != third.Raw()) abort();
    (void)first;
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
