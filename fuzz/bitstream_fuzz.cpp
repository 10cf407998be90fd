// Fuzz target for bit streams. Arbitrary bytes read at any widths without fault, with
// the end of the stream reported once the data runs out; fields written at the
// widths read back as written.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lumo/bitstream.h"
#include "lumo/blob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t half = size / 2;

    // Widths from the first half, over the bytes of the second.
    CL_Blob bytes(data + half, static_cast<uint32>(size - half));
    bytes.Rewind();
    CL_BitStream reader(bytes);
    uint64 bitsRead = 0;
    for (size_t i = 0; i < half; i++) {
        int32 width = data[i] % 32 + 1;
        uint32 value = reader.Read(width);
        bitsRead += static_cast<uint64>(width);
        if (width < 32 && (value >> width) != 0) abort();
        if (bitsRead <= 8 * (size - half) && reader.EOS()) abort();
        if (bitsRead > 8 * (size - half) && !reader.EOS()) abort();
    }

    // Fields written with widths and values from the input read back.
    std::vector<std::pair<uint32, int32>> fields;
    for (size_t i = 0; i + 4 < size && fields.size() < 256; i += 5) {
        int32 width = data[i] % 32 + 1;
        uint32 value = static_cast<uint32>(data[i + 1]) | static_cast<uint32>(data[i + 2]) << 8 |
                       static_cast<uint32>(data[i + 3]) << 16 |
                       static_cast<uint32>(data[i + 4]) << 24;
        if (width < 32) value &= (1u << width) - 1;
        fields.emplace_back(value, width);
    }
    CL_Blob blob;
    {
        CL_BitStream writer(&blob);
        for (const auto& [value, width] : fields)
            writer.Write(value, width);
        writer.Flush();
    }
    blob.Rewind();
    CL_BitStream again(blob);
    for (const auto& [value, width] : fields)
        if (again.Read(width) != value) abort();
    if (again.EOS()) abort();
    return 0;
}
