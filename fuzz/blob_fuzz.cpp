// Fuzz target for the blob's untrusted-input paths: typed readers driven by the
// input itself, Unflatten of a blob, the base16/base64 decoders, and edits (writes,
// self-appends, transfers between blobs, copies) checked against a plain model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "lumo/blob.h"

namespace {

// A blob beside a plain string and position that model it; every step changes both
// and they must agree, including a copy taken before the changes (copy-on-write).
struct Modelled {
    CL_Blob fBlob;
    std::string fBytes;
    uint32 fPos = 0;

    void Check() const {
        if (fBlob.Raw() != fBytes || fBlob.Tell() != fPos) __builtin_trap();
    }
    void WriteAt(const std::string& bytes) {
        if (fBytes.size() < fPos + bytes.size()) fBytes.resize(fPos + bytes.size());
        fBytes.replace(fPos, bytes.size(), bytes);
        fPos += static_cast<uint32>(bytes.size());
    }
};

void RunEdits(const uint8* data, size_t size) {
    Modelled m;
    Modelled other;
    CL_Blob snapshot;
    std::string snapshotBytes;
    size_t i = 0;
    auto next = [&]() -> uint8 { return i < size ? data[i++] : 0; };
    while (i < size && m.fBytes.size() < 4096) {
        uint8 op = next();
        uint8 n = next() % 24;
        std::string piece;
        for (uint8 k = 0; k < n; ++k)
            piece += static_cast<char>(next());
        switch (op % 12) {
            case 0:
                m.fBlob.Write(piece.data(), n);
                m.WriteAt(piece);
                break;
            case 1:
                m.fBlob.Append(piece.data(), n);
                m.fBytes += piece;
                break;
            case 2:
                m.fBlob.Prepend(piece.data(), n);
                m.fBytes.insert(0, piece);
                m.fPos += n;
                break;
            case 3: {
                int32 offset = static_cast<int8>(n * 11);
                CL_SeekType type = static_cast<CL_SeekType>(op % 3);
                int64 target = type == CL_SEEK_SET   ? offset
                               : type == CL_SEEK_CUR ? int64(m.fPos) + offset
                                                     : int64(m.fBytes.size()) + offset;
                target = std::max<int64>(0, std::min<int64>(target, m.fBytes.size()));
                if (m.fBlob.Seek(offset, type) != target) __builtin_trap();
                m.fPos = static_cast<uint32>(target);
                break;
            }
            case 4:
                m.fBlob.Append(m.fBlob);
                m.fBytes += m.fBytes;
                break;
            case 5:
                m.fBlob.Prepend(m.fBlob);
                m.fPos += static_cast<uint32>(m.fBytes.size());
                m.fBytes += m.fBytes;
                break;
            case 6:
                m.fBlob += m.fBlob;
                m.WriteAt(m.fBytes.substr(m.fPos));
                break;
            case 7: {
                uint32 cut = m.fBytes.empty() ? 0 : n % (m.fBytes.size() + 1);
                m.fBlob.SetSize(cut);
                m.fBytes.resize(cut);
                m.fPos = std::min(m.fPos, cut);
                break;
            }
            case 8: {
                // Into another blob at its position: its own bytes stay, new room is 0.
                other.fBlob.Seek(int32(n % (other.fBytes.size() + 1)), CL_SEEK_SET);
                other.fPos = n % (other.fBytes.size() + 1);
                std::string got = m.fBytes.substr(m.fPos, n);
                if (m.fBlob.Read(other.fBlob, n) != got.size()) __builtin_trap();
                m.fPos += static_cast<uint32>(got.size());
                size_t end = other.fPos + size_t(n);
                if (other.fBytes.size() < end) other.fBytes.resize(end, '\0');
                other.fBytes.replace(other.fPos, got.size(), got);
                other.Check();
                break;
            }
            case 9:
                snapshot = m.fBlob;
                snapshotBytes = m.fBytes;
                break;
            case 10:
                if (n & 1)
                    m.fBlob.Shrink();
                else if (strlen(m.fBlob.c_str()) > m.fBytes.size())
                    __builtin_trap();
                break;
            case 11:
                m.fBlob.Set(m.fBlob.GetDataForRead() + m.fPos / 2,
                            uint32(m.fBytes.size() - m.fPos / 2));
                m.fBytes = m.fBytes.substr(m.fPos / 2);
                m.fPos = 0;
                break;
        }
        m.Check();
        if (snapshot.Raw() != snapshotBytes) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8 mode = data[0];
    CL_Blob blob(data + 1, static_cast<uint32>(size - 1));
    blob.Rewind();

    switch (mode % 5) {
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
        case 4:
            RunEdits(data + 1, size - 1);
            break;
    }
    return 0;
}
