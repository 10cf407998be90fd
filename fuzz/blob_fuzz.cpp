// Fuzz target for the blob's untrusted-input paths: typed readers driven by the
// input itself, Unflatten of a blob, and the base16/base64 decoders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "lumo/blob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8 mode = data[0];
    CL_Blob blob(data + 1, static_cast<uint32>(size - 1));
    blob.Rewind();

    switch (mode % 4) {
        case 0: {
            // The input picks the reader for each step.
            // Seeking backwards can revisit the same steps, so the walk is bounded.
            for (int steps = 0; steps < 4096 && !blob.EOB(); ++steps) {
                uint8 op = 0;
                op << blob;
                switch (op % 10) {
                    case 0: {
                        int64 v;
                        v << blob;
                        break;
                    }
                    case 1: {
                        uint32 v;
                        v << blob;
                        break;
                    }
                    case 2: {
                        int16 v;
                        v << blob;
                        break;
                    }
                    case 3: {
                        double v;
                        v << blob;
                        break;
                    }
                    case 4: {
                        bool v;
                        v << blob;
                        break;
                    }
                    case 5: {
                        std::string v;
                        v << blob;
                        break;
                    }
                    case 6: {
                        const char* v = nullptr;
                        v << blob;
                        if (strlen(v) > blob.GetSize()) __builtin_trap();
                        break;
                    }
                    case 7: {
                        blob.Seek(static_cast<int8>(op), CL_SEEK_CUR);
                        break;
                    }
                    case 8: {
                        char buf[16];
                        blob.Read(buf, op % 17);
                        break;
                    }
                    case 9: {
                        CL_Blob dst;
                        blob.Read(dst, op);
                        break;
                    }
                }
            }
            break;
        }
        case 1: {
            // A run of flattened blobs, the last one possibly lying about its size.
            for (int i = 0; i < 64 && !blob.EOB(); ++i) {
                CL_Blob item;
                uint32 before = blob.Tell();
                if (!item.Unflatten(blob)) break;
                if (blob.Tell() == before) break;
                CL_Blob again;
                item.Flatten(again);
                again.Rewind();
                CL_Blob back;
                if (!back.Unflatten(again) || !(back == item)) __builtin_trap();
            }
            break;
        }
        case 2:
        case 3: {
            CL_BLOB_Coding coding = mode % 4 == 2 ? CL_BLOB_CODING_BASE_16 : CL_BLOB_CODING_BASE_64;
            std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
            CL_Blob decoded;
            if (decoded.Decode(text, coding)) {
                // Whatever decodes must encode and decode to the same bytes.
                CL_Blob back;
                if (!back.Decode(decoded.Encode(coding), coding) || !(back == decoded))
                    __builtin_trap();
            }
            CL_Blob raw(text);
            CL_Blob round;
            if (!round.Decode(raw.Encode(coding), coding) || !(round == raw)) __builtin_trap();
            (void)raw.CheckSum();
            (void)raw.Dump(0, true);
            break;
        }
    }
    return 0;
}
