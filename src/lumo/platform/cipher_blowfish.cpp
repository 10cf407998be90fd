// Blowfish-family cipher: the Blowfish block structure over starting tables that
// are compiled in from data (src/lumo/platform/data/blowfish_tables.bin by default, or the
// file given to the build), with a key schedule that enciphers zero blocks each on
// its own instead of chaining them.
#include "lumo/platform/cipher_internal.h"
#include "lumo/blob.h"
#include "lumo/cipher.h"

namespace {

constexpr uint8 kTailConstant = 91;

// Constant-initialised, so the static cipher objects built before main see them.
constexpr uint32 kStartTables[18 + 1024] = {
#ifdef ZELMO_BLOWFISH_TABLES_INC
#include ZELMO_BLOWFISH_TABLES_INC
#else
#include "data/blowfish_tables.inc"
#endif
};
constexpr const uint32* kStartP = kStartTables;
constexpr const uint32* kStartS = kStartTables + 18;

using lumo_bytes::LoadBE;
using lumo_bytes::StoreBE;
inline uint32 Swap(uint32 v) {
    return __builtin_bswap32(v);
}

inline uint32 F(const uint32* s, uint32 x) {
    return ((s[x >> 24] + s[256 + ((x >> 16) & 255)]) ^ s[512 + ((x >> 8) & 255)]) +
           s[768 + (x & 255)];
}

inline void EncryptWords(const uint32* p, const uint32* s, uint32& left, uint32& right) {
    uint32 l = left, r = right;
    for (int i = 0; i < 16; ++i) {
        l ^= p[i];
        r ^= F(s, l);
        uint32 t = l;
        l = r;
        r = t;
    }
    // Undo the last swap.
    uint32 t = l;
    l = r;
    r = t;
    r ^= p[16];
    l ^= p[17];
    left = l;
    right = r;
}

inline void DecryptWords(const uint32* p, const uint32* s, uint32& left, uint32& right) {
    uint32 l = left, r = right;
    for (int i = 17; i > 1; --i) {
        l ^= p[i];
        r ^= F(s, l);
        uint32 t = l;
        l = r;
        r = t;
    }
    uint32 t = l;
    l = r;
    r = t;
    r ^= p[1];
    l ^= p[0];
    left = l;
    right = r;
}

}  // namespace

CL_BlowfishCipher::CL_BlowfishCipher() {
    SetKey(nullptr, 0);
}

void CL_BlowfishCipher::SetKey(CL_Blob& key) {
    SetKey(key.GetDataForRead(), key.GetSize());
}

void CL_BlowfishCipher::SetKey(const uint8* key, uint32 size) {
    for (int i = 0; i < 1024; ++i)
        fS[i] = kStartS[i];

    // The key bytes followed by one zero byte, taken cyclically across the words.
    uint64 cycle = uint64(size) + 1;
    uint64 at = 0;
    for (int i = 0; i < 18; ++i) {
        uint32 word = 0;
        for (int b = 0; b < 4; ++b) {
            word = (word << 8) | (at < size ? key[at] : 0);
            at = (at + 1) % cycle;
        }
        fP[i] = kStartP[i] ^ word;
    }

    // Enciphering a run of zero blocks without chaining gives the same 8 bytes for
    // every block; those bytes (big-endian words) are read back as little-endian
    // words, so each table becomes two words repeated.
    uint32 l = 0, r = 0;
    EncryptWords(fP, fS, l, r);
    for (int i = 0; i < 18; i += 2) {
        fP[i] = Swap(l);
        fP[i + 1] = Swap(r);
    }
    // The S table is still the starting one here: the new words come from the new P.
    l = r = 0;
    EncryptWords(fP, fS, l, r);
    for (int i = 0; i < 1024; i += 2) {
        fS[i] = Swap(l);
        fS[i + 1] = Swap(r);
    }
}

void CL_BlowfishCipher::Encrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    uint32 whole = length & ~7u;
    for (uint32 off = 0; off < whole; off += 8) {
        uint32 l = LoadBE(data + off), r = LoadBE(data + off + 4);
        EncryptWords(fP, fS, l, r);
        StoreBE(data + off, l);
        StoreBE(data + off + 4, r);
    }
    EncryptTail(data + whole, length - whole, kTailConstant);
}

void CL_BlowfishCipher::Decrypt(CL_Blob& blob, uint32 count) {
    uint32 length;
    uint8* data = Run(blob, count, &length);
    uint32 whole = length & ~7u;
    for (uint32 off = 0; off < whole; off += 8) {
        uint32 l = LoadBE(data + off), r = LoadBE(data + off + 4);
        DecryptWords(fP, fS, l, r);
        StoreBE(data + off, l);
        StoreBE(data + off + 4, r);
    }
    DecryptTail(data + whole, length - whole, kTailConstant);
}
