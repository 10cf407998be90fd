// Text forms of a blob: base16 and base64 codings and the diagnostic dump.
#include <cstdio>
#include <cstring>

#include "lumo/blob.h"

namespace {

const char kHex[] = "0123456789ABCDEF";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each 7-bit character in the base64 alphabet, -1 elsewhere. Bytes of
// 0x80 and above are refused before the lookup so that they cannot alias ASCII.
struct Base64Table {
    int8 fValue[128];
    Base64Table() {
        memset(fValue, -1, sizeof(fValue));
        for (int i = 0; i < 64; ++i)
            fValue[static_cast<uint8>(kBase64[i])] = static_cast<int8>(i);
    }
};
const Base64Table sBase64Table;

int HexValue(uint8 c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Printable(uint8 c) {
    return c >= 0x20 && c <= 0x7E && c != '%';
}

}  // namespace

std::string CL_Blob::Encode(CL_BLOB_Coding coding) const {
    const uint8* p = GetDataForRead();
    uint64 n = GetSize();
    std::string out;
    if (coding == CL_BLOB_CODING_BASE_16) {
        out.resize(n * 2);
        for (uint64 i = 0; i < n; ++i) {
            out[2 * i] = kHex[p[i] >> 4];
            out[2 * i + 1] = kHex[p[i] & 15];
        }
    } else if (coding == CL_BLOB_CODING_BASE_64) {
        out.reserve((n + 2) / 3 * 4);
        uint64 i = 0;
        for (; i + 3 <= n; i += 3) {
            uint32 v = uint32(p[i]) << 16 | uint32(p[i + 1]) << 8 | p[i + 2];
            out += kBase64[v >> 18];
            out += kBase64[(v >> 12) & 63];
            out += kBase64[(v >> 6) & 63];
            out += kBase64[v & 63];
        }
        if (n - i == 1) {
            uint32 v = uint32(p[i]) << 16;
            out += kBase64[v >> 18];
            out += kBase64[(v >> 12) & 63];
            out += "==";
        } else if (n - i == 2) {
            uint32 v = uint32(p[i]) << 16 | uint32(p[i + 1]) << 8;
            out += kBase64[v >> 18];
            out += kBase64[(v >> 12) & 63];
            out += kBase64[(v >> 6) & 63];
            out += '=';
        }
    }
    return out;
}

bool CL_Blob::Decode(const std::string& data, CL_BLOB_Coding coding) {
    SetSize(0);
    fPos = 0;
    const uint8* in = reinterpret_cast<const uint8*>(data.data());
    uint64 len = data.size();
    if (coding == CL_BLOB_CODING_BASE_16) {
        if (len & 1) return false;
        if (len / 2 > kMaxSize) return false;
        uint8* out = MakeRoom(static_cast<uint32>(len / 2), true);
        if (!out && len) return false;
        for (uint64 i = 0; i < len; i += 2) {
            int hi = HexValue(in[i]);
            int lo = HexValue(in[i + 1]);
            if (hi < 0 || lo < 0) {
                SetSize(0);
                return false;
            }
            out[i / 2] = static_cast<uint8>(hi << 4 | lo);
        }
        fPos = 0;
        return true;
    }
    if (coding == CL_BLOB_CODING_BASE_64) {
        if (len % 4) return false;
        if (len / 4 * 3 > kMaxSize) return false;
        uint8* out = MakeRoom(static_cast<uint32>(len / 4 * 3), true);
        if (!out && len) return false;
        uint64 written = 0;
        for (uint64 i = 0; i < len; i += 4) {
            uint32 v = 0;
            int pads = 0;
            for (int k = 0; k < 4; ++k) {
                uint8 c = in[i + k];
                int value = c < 0x80 ? sBase64Table.fValue[c] : -1;
                if (c == '=' && k >= 2) {
                    ++pads;
                    value = 0;
                } else if (value < 0 || pads) {
                    // Not in the alphabet, or a character after padding.
                    SetSize(0);
                    return false;
                }
                v = v << 6 | uint32(value);
            }
            out[written++] = static_cast<uint8>(v >> 16);
            if (pads < 2) out[written++] = static_cast<uint8>(v >> 8);
            if (pads < 1) out[written++] = static_cast<uint8>(v);
        }
        SetSize(static_cast<uint32>(written));
        fPos = 0;
        return true;
    }
    // An unknown coding decodes nothing; it must not pass for a successful decode.
    return false;
}

std::string CL_Blob::Dump(uint32 maxSize, bool pretty) const {
    const uint8* p = GetDataForRead();
    uint32 n = GetSize();
    if (maxSize && maxSize < n) n = maxSize;
    std::string out;
    if (!pretty) {
        out.resize(n);
        for (uint32 i = 0; i < n; ++i)
            out[i] = Printable(p[i]) ? char(p[i]) : '.';
        return out;
    }
    char line[32];
    snprintf(line, sizeof(line), "{%d}:\n", int(n));
    out += line;
    uint32 i = 0;
    for (; i < n; ++i) {
        uint32 col = i % 16;
        out += kHex[p[i] >> 4];
        out += kHex[p[i] & 15];
        out += ' ';
        if (col == 7 || col == 15) out += ' ';
        if (col == 15) {
            for (uint32 k = i - 15; k <= i; ++k)
                out += Printable(p[k]) ? char(p[k]) : '.';
            out += '\n';
        }
    }
    uint32 r = n % 16;
    if (r) {
        out.append(r < 8 ? 50 - 3 * r : 49 - 3 * r, ' ');
        for (uint32 k = n - r; k < n; ++k)
            out += Printable(p[k]) ? char(p[k]) : '.';
    }
    return out;
}
